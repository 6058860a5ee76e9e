#pragma once

#include <QByteArray>
#include <QIODevice>

#include <memory>

struct evp_md_ctx_st;

// A sink that hands every byte on to another device and reckons their SHA-256 (OpenSSL's EVP)
// on the way, so a fetched object can be checked against the SHA-256 stored with it.
class S3HashingSink final : public QIODevice {
public:
    explicit S3HashingSink(QIODevice& target);
    ~S3HashingSink() override;

    // Hex SHA-256 of what was written; empty when it could not be reckoned.
    QByteArray sha256Hex();

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    QIODevice& m_target;
    evp_md_ctx_st* m_context = nullptr;
};
