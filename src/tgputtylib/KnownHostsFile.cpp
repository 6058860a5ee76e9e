#include "tgputtylib/KnownHostsFile.h"

#include "tgputtylib/Base64.h"

#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace tgputty {

namespace {

std::string lower(std::string t) {
    for (char& c : t)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t;
}

// Base64 as OpenSSL's decoder reads it, less the padding it turns into zero bytes.
bool decodeBase64(const std::string& in, std::string& out) {
    if (in.empty() || in.size() % 4 != 0)
        return false;
    out.assign(in.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(in.data()),
                                  static_cast<int>(in.size()));
    if (n < 0)
        return false;
    size_t pad = 0;
    while (pad < 2 && in[in.size() - 1 - pad] == '=')
        ++pad;
    out.resize(static_cast<size_t>(n) - pad);
    return true;
}

// OpenSSH's pattern match: '*' any run of characters, '?' one character.
bool wildcardMatch(const char* text, const char* pattern) {
    for (;;) {
        if (!*pattern)
            return !*text;
        if (*pattern == '*') {
            while (*pattern == '*')
                ++pattern;
            if (!*pattern)
                return true;
            for (; *text; ++text)
                if (wildcardMatch(text, pattern))
                    return true;
            return false;
        }
        if (!*text || (*pattern != '?' && *pattern != *text))
            return false;
        ++text;
        ++pattern;
    }
}

// A hashed entry "|1|salt|hash": HMAC-SHA1 of the name keyed with the salt.
bool hashedMatch(const std::string& entry, const std::string& name) {
    const size_t bar = entry.find('|', 3);
    if (entry.compare(0, 3, "|1|") != 0 || bar == std::string::npos)
        return false;
    std::string salt, hash;
    if (!decodeBase64(entry.substr(3, bar - 3), salt) ||
        !decodeBase64(entry.substr(bar + 1), hash) || hash.size() != 20)
        return false;
    unsigned char mac[EVP_MAX_MD_SIZE];
    size_t macLen = 0;
    if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA1", nullptr, salt.data(), salt.size(),
                   reinterpret_cast<const unsigned char*>(name.data()), name.size(), mac,
                   sizeof mac, &macLen) ||
        macLen != hash.size())
        return false;
    return std::memcmp(mac, hash.data(), macLen) == 0;
}

std::string errnoText() {
    return std::strerror(errno);
}

} // namespace

std::string KnownHostsFile::hostName(const std::string& host, int port) {
    if (port == 22)
        return host;
    return "[" + host + "]:" + std::to_string(port);
}

std::string KnownHostsFile::blobType(const std::string& blob) {
    if (blob.size() < 4)
        return {};
    const auto* b = reinterpret_cast<const unsigned char*>(blob.data());
    const size_t len = size_t(b[0]) << 24 | size_t(b[1]) << 16 | size_t(b[2]) << 8 | b[3];
    if (len == 0 || len > 64 || blob.size() < 4 + len)
        return {};
    return blob.substr(4, len);
}

std::string KnownHostsFile::fingerprint(const std::string& blob) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!EVP_Digest(blob.data(), blob.size(), digest, &len, EVP_sha256(), nullptr))
        return blobType(blob) + " SHA256:?";
    return blobType(blob) + " SHA256:" + base64(digest, len, false);
}

bool KnownHostsFile::parse(const std::string& line, Entry& entry) {
    std::vector<std::string> fields;
    size_t at = 0;
    // "@revoked" takes a field more; other markers (@cert-authority) are not host keys.
    size_t wanted = 3;
    while (fields.size() < wanted) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string::npos)
            break;
        const size_t stop = std::min(line.find_first_of(" \t", at), line.size());
        fields.push_back(line.substr(at, stop - at));
        at = stop;
        if (fields.size() == 1 && fields[0] == "@revoked")
            wanted = 4;
    }
    entry.revoked = wanted == 4;
    if (entry.revoked)
        fields.erase(fields.begin());
    // Comments, blank lines and other marked lines (@cert-authority) are not host keys.
    if (fields.size() < 3 || fields[0][0] == '#' || fields[0][0] == '@')
        return false;
    std::string blob;
    if (!decodeBase64(fields[2], blob) || blobType(blob) != fields[1])
        return false;
    entry.patterns = fields[0];
    entry.key = Key{fields[1], blob};
    return true;
}

bool KnownHostsFile::patternsMatch(const std::string& patterns, const std::string& name) {
    if (patterns.compare(0, 3, "|1|") == 0)
        return hashedMatch(patterns, lower(name)); // OpenSSH hashes the name in lower case
    const std::string wanted = lower(name);
    bool matched = false;
    size_t at = 0;
    while (at <= patterns.size()) {
        const size_t stop = std::min(patterns.find(',', at), patterns.size());
        std::string pattern = lower(patterns.substr(at, stop - at));
        at = stop + 1;
        const bool negated = !pattern.empty() && pattern[0] == '!';
        if (negated)
            pattern.erase(0, 1);
        if (pattern.empty() || !wildcardMatch(wanted.c_str(), pattern.c_str()))
            continue;
        if (negated)
            return false; // a negated match excludes the host whatever else matches
        matched = true;
    }
    return matched;
}

bool KnownHostsFile::onlyFor(const Entry& entry, const std::string& name) {
    if (entry.patterns.compare(0, 3, "|1|") == 0)
        return hashedMatch(entry.patterns, lower(name));
    return lower(entry.patterns) == lower(name);
}

bool KnownHostsFile::load(std::string& error) {
    m_content.clear();
    m_entries.clear();
    // Not through a symbolic link, and without waiting on a pipe planted in the file's place.
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        error = errno == ELOOP ? "Cannot read " + m_path + ": it is a symbolic link"
                               : "Cannot read " + m_path + ": " + errnoText();
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = "Cannot read " + m_path + ": not a plain file";
        return false;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = "Cannot read " + m_path + ": " + errnoText();
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        m_content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    size_t begin = 0;
    while (begin < m_content.size()) {
        size_t end = m_content.find('\n', begin);
        end = end == std::string::npos ? m_content.size() : end + 1;
        std::string line = m_content.substr(begin, end - begin);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        Entry entry;
        if (parse(line, entry)) {
            entry.begin = begin;
            entry.end = end;
            m_entries.push_back(std::move(entry));
        }
        begin = end;
    }
    return true;
}

std::vector<KnownHostsFile::Key> KnownHostsFile::keysFor(const std::string& host, int port) const {
    const std::string name = hostName(host, port);
    std::vector<Key> keys;
    for (const Entry& e : m_entries)
        if (!e.revoked && patternsMatch(e.patterns, name))
            keys.push_back(e.key);
    return keys;
}

KnownHostsFile::Match KnownHostsFile::check(const std::string& host, int port,
                                            const std::string& blob) const {
    const std::string name = hostName(host, port);
    for (const Entry& e : m_entries)
        if (e.revoked && e.key.blob == blob && patternsMatch(e.patterns, name))
            return Match::Revoked;
    const std::vector<Key> keys = keysFor(host, port);
    for (const Key& k : keys)
        if (k.blob == blob)
            return Match::Known;
    return keys.empty() ? Match::New : Match::Changed;
}

bool KnownHostsFile::store(const std::string& host, int port, const std::string& blob,
                           std::string& error) {
    const std::string name = hostName(host, port);
    const std::string type = blobType(blob);
    std::string content;
    size_t copied = 0;
    for (const Entry& e : m_entries) {
        if (e.revoked || e.key.type != type || !onlyFor(e, name))
            continue;
        content.append(m_content, copied, e.begin - copied);
        copied = e.end;
    }
    content.append(m_content, copied, std::string::npos);
    if (!content.empty() && content.back() != '\n')
        content += '\n';
    content += name + " " + type + " " +
               base64(reinterpret_cast<const unsigned char*>(blob.data()), blob.size(), true) +
               "\n";

    const size_t slash = m_path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : m_path.substr(0, slash);
    const std::string cannot = "Cannot store the host key in " + m_path + ": ";
    struct stat st {};
    mode_t mode = 0644;
    if (::lstat(m_path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            error = cannot + (S_ISLNK(st.st_mode) ? "it is a symbolic link" : "not a plain file");
            return false;
        }
        mode = st.st_mode & 07777;
    }
    std::string temp = m_path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        error = cannot + errnoText();
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    const int saved = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), m_path.c_str()) == 0) {
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        m_content = content;
        std::string ignored;
        load(ignored);
        return true;
    }
    errno = ok ? errno : saved;
    error = cannot + errnoText();
    ::unlink(temp.c_str());
    return false;
}

} // namespace tgputty
