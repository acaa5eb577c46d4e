#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <mutex>
#include <string>

// The TLS context handed to libmosquitto: the broker's certificate must chain to ca_file (the
// system's CAs when empty) and be issued for the host mqttpub connects to.
class BrokerTls {
  public:
    struct Files {
        std::string ca_file;
        std::string cert_file;  // client certificate (optional, with key_file)
        std::string key_file;
    };

    // Nothing, after an error line, when a file cannot be used.
    static std::unique_ptr<BrokerTls> Create(const std::string& host, const Files& files);
    ~BrokerTls();
    BrokerTls(const BrokerTls&) = delete;
    BrokerTls& operator=(const BrokerTls&) = delete;

    SSL_CTX* Context() const { return ctx_; }
    // Why the last handshake refused the broker's certificate; empty when it did not.
    std::string TakeRefusal();

  private:
    BrokerTls(SSL_CTX* ctx, std::string host, std::string ca_file);
    static int Verify(int ok, X509_STORE_CTX* store);

    SSL_CTX* ctx_;
    const std::string host_;
    const std::string ca_file_;
    std::mutex mutex_;
    std::string refusal_;
};
