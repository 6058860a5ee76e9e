#include "tgputtylib/KnownHosts.h"

#include "tgputtylib/Algorithms.h"
#include "tgputtylib/ConfigTable.h"
#include "tgputtylib/KnownHostsFile.h"
#include "tgputtylib/SshSession.h"

namespace tgputty {

namespace {

// The host key algorithms that check a stored key of this type (none for DSA keys, which are
// not accepted).
const char* methodsFor(const std::string& keyType) {
    if (keyType == "ssh-rsa")
        return "rsa-sha2-512,rsa-sha2-256";
    if (keyType == "ssh-ed25519" || keyType.rfind("ecdsa-sha2-", 0) == 0)
        return keyType.c_str();
    return nullptr;
}

} // namespace

std::string KnownHosts::path() const {
    const auto index = static_cast<size_t>(ConfKnownHostsFile);
    if (index < m_s.confStr.size() && !m_s.confStr[index].empty())
        return m_s.confStr[index];
    return libraryFolder() + "known_hosts";
}

bool KnownHosts::preferStoredKeyTypes(const std::string& host, int port) {
    // The server offers several keys; ask first for the kinds already stored for it, so that a
    // host seeded by ssh-keyscan is recognised whichever key it would otherwise present.
    KnownHostsFile file(path());
    std::string ignored; // an unreadable file is reported when the key is checked
    std::string preferred;
    if (file.load(ignored))
        for (const KnownHostsFile::Key& key : file.keysFor(host, port))
            if (const char* methods = methodsFor(key.type))
                preferred += std::string(preferred.empty() ? "" : ",") + methods;
    return m_s.setMethodPreference(LIBSSH2_METHOD_HOSTKEY,
                                   preferred.empty() ? std::string(algorithms::HostKeys)
                                                     : preferred + "," + algorithms::HostKeys);
}

bool KnownHosts::check(const std::string& host, int port) {
    size_t keyLen = 0;
    int keyType = 0;
    const char* key = libssh2_session_hostkey(m_s.session(), &keyLen, &keyType);
    if (!key) {
        m_s.error("Server sent no host key");
        return false;
    }
    const std::string blob(key, keyLen);
    const std::string offered = KnownHostsFile::fingerprint(blob);
    m_s.info("Host key fingerprint is: " + offered);

    KnownHostsFile file(path());
    std::string problem;
    const bool readable = file.load(problem);
    int status = TG_HOSTKEY_UNCHECKED;
    std::string shown = offered;
    if (!readable) {
        m_s.error(problem + ": the stored host keys are not used");
    } else {
        switch (file.check(host, port, blob)) {
        case KnownHostsFile::Match::Known:
            status = TG_HOSTKEY_KNOWN;
            break;
        case KnownHostsFile::Match::New:
            status = TG_HOSTKEY_NEW;
            m_s.info("The server's host key is not stored in " + file.path());
            break;
        case KnownHostsFile::Match::Revoked:
            // As OpenSSH does: a revoked key is refused outright, nobody is asked.
            m_s.error("WARNING - POTENTIAL SECURITY BREACH: the server's host key " + offered +
                      " is marked as revoked for " + KnownHostsFile::hostName(host, port) + " in " +
                      file.path() + "; connection abandoned");
            return false;
        case KnownHostsFile::Match::Changed: {
            status = TG_HOSTKEY_CHANGED;
            std::string stored;
            for (const KnownHostsFile::Key& k : file.keysFor(host, port))
                stored += KnownHostsFile::fingerprint(k.blob) + "\r\n";
            shown = "WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!\r\n"
                    "IT IS POSSIBLE THAT SOMEONE IS DOING SOMETHING NASTY!\r\n"
                    "Someone could be eavesdropping on you right now (man-in-the-middle "
                    "attack), or the host key has just been changed.\r\n"
                    "Stored for " +
                    KnownHostsFile::hostName(host, port) + " in " + file.path() + ":\r\n" + stored +
                    "Offered by the server now:\r\n" + offered;
            m_s.error("WARNING - POTENTIAL SECURITY BREACH: the server's host key does not "
                      "match the one stored in " +
                      file.path());
            break;
        }
        }
    }

    bool store = false;
    bool accepted = false;
    TTGLibraryContext* ctx = m_s.ctx();
    if (ctx->verify_host_key_callback)
        accepted = ctx->verify_host_key_callback(host.c_str(), port, 0, 0, shown.c_str(), status,
                                                 &store, ctx);
    if (!accepted) {
        m_s.error("Host key not accepted, connection abandoned");
        return false;
    }
    if (store && status != TG_HOSTKEY_KNOWN) {
        // A file that could not be read is not overwritten: its keys would be lost.
        if (!readable)
            m_s.error("Cannot store the host key in " + file.path() + ": " + problem);
        else if (!file.store(host, port, blob, problem))
            m_s.error(problem);
        else
            m_s.info("Host key stored in " + file.path());
    }
    return true;
}

} // namespace tgputty
