#pragma once

#include <string>
#include <vector>

namespace tgputty {

// An OpenSSH known_hosts file as OpenSSH reads it: line by line, a line it cannot read skipped
// and kept; plain entries ("name", "[name]:port", patterns with '*', '?' and '!') and hashed
// ones ("|1|salt|hash", of the name in lower case as OpenSSH hashes it), "@revoked" keys
// refused; a plain name stands for port 22 only. Storing a key rewrites the file
// through a temporary file in the same folder, keeping every other line byte for byte.
class KnownHostsFile {
public:
    enum class Match { Known, Changed, New, Revoked };

    struct Key {
        std::string type; // "ssh-ed25519", "ssh-rsa", …
        std::string blob; // the public key as the server sends it
    };

    explicit KnownHostsFile(std::string path) : m_path(std::move(path)) {}

    // Reads the file. A missing file is an empty one; false (with `error`) when it cannot be
    // read, or is a symbolic link or not a plain file.
    bool load(std::string& error);

    // How OpenSSH names a host in the file: the bare name on port 22, "[name]:port" elsewhere.
    static std::string hostName(const std::string& host, int port);
    // The key type named inside a key blob ("" when the blob is not one).
    static std::string blobType(const std::string& blob);
    // "TYPE SHA256:base64" as OpenSSH shows a key.
    static std::string fingerprint(const std::string& blob);

    // The keys stored for the host, of any type.
    std::vector<Key> keysFor(const std::string& host, int port) const;
    // Revoked when an "@revoked" line names the key for the host (whatever else is stored);
    // Known when the key is stored for the host; Changed when another key (of any type) is.
    Match check(const std::string& host, int port, const std::string& blob) const;

    // Stores the key for the host, in place of the host's stored key of its type, and writes
    // the file. False (with `error` naming the file) when it cannot be written.
    bool store(const std::string& host, int port, const std::string& blob, std::string& error);

    const std::string& path() const { return m_path; }
    const std::string& content() const { return m_content; }

private:
    struct Entry {
        size_t begin = 0, end = 0; // the line in m_content, with its line end
        std::string patterns;
        Key key;
        bool revoked = false; // an "@revoked" line: the key must never be accepted
    };
    static bool parse(const std::string& line, Entry& entry);
    static bool patternsMatch(const std::string& patterns, const std::string& name);
    // True when the entry names this host and nothing else.
    static bool onlyFor(const Entry& entry, const std::string& name);

    std::string m_path;
    std::string m_content;
    std::vector<Entry> m_entries;
};

} // namespace tgputty
