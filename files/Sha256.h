#pragma once

#include <QByteArray>

#include <memory>

struct evp_md_ctx_st;

// A streaming SHA-256 digest over OpenSSL's libcrypto, which uses the
// processor's SHA instructions where there are some. Not thread-safe; see
// BackgroundSha256 for hashing beside the thread that produces the bytes.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void addData(const char *data, qsizetype size);
    void addData(const QByteArray &data) { addData(data.constData(), data.size()); }
    // The 32 bytes of the digest of everything added; empty when libcrypto
    // failed (it cannot allocate, or its configuration offers no SHA-256).
    // Ends the digest: call it once, and add nothing after it.
    [[nodiscard]] QByteArray result();

    // The digest of data in one call, as result() gives it.
    [[nodiscard]] static QByteArray hash(const QByteArray &data);

private:
    struct ContextDeleter
    {
        void operator()(evp_md_ctx_st *context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextDeleter> context;
    bool failed = false;
};
