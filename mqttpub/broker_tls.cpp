#include "broker_tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <utility>

#include "log.h"

namespace {

std::string OpenSslError() {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

bool IsAddress(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

std::unique_ptr<BrokerTls> BrokerTls::Create(const std::string& host, const Files& files) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        LOGE << "MQTT TLS Error : " << OpenSslError();
        return nullptr;
    }
    std::unique_ptr<BrokerTls> tls(new BrokerTls(ctx, host, files.ca_file));
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    const bool cas = files.ca_file.empty()
                         ? SSL_CTX_set_default_verify_paths(ctx) == 1
                         : SSL_CTX_load_verify_locations(ctx, files.ca_file.c_str(), nullptr) == 1;
    if (!cas) {
        LOGE << "MQTT TLS Error : cannot load the CA of ca_file \"" << files.ca_file
             << "\" : " << OpenSslError();
        return nullptr;
    }
    if (!files.cert_file.empty() || !files.key_file.empty()) {
        if (SSL_CTX_use_certificate_chain_file(ctx, files.cert_file.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx, files.key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(ctx) != 1) {
            LOGE << "MQTT TLS Error : cannot use cert_file \"" << files.cert_file
                 << "\" with key_file \"" << files.key_file << "\" : " << OpenSslError();
            return nullptr;
        }
    }
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
    const bool named = IsAddress(host) ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1
                                       : X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0) == 1;
    if (!named) {
        LOGE << "MQTT TLS Error : cannot check the certificate against host \"" << host << "\"";
        return nullptr;
    }
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    SSL_CTX_set_app_data(ctx, tls.get());
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &BrokerTls::Verify);
    return tls;
}

BrokerTls::BrokerTls(SSL_CTX* ctx, std::string host, std::string ca_file)
    : ctx_(ctx), host_(std::move(host)), ca_file_(std::move(ca_file)) {}

BrokerTls::~BrokerTls() {
    SSL_CTX_free(ctx_);  // libmosquitto holds its own reference
}

std::string BrokerTls::TakeRefusal() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(refusal_, std::string());
}

// Network thread, inside the handshake.
int BrokerTls::Verify(int ok, X509_STORE_CTX* store) {
    if (ok)
        return ok;
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self =
        ssl ? static_cast<BrokerTls*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))) : nullptr;
    if (!self)
        return ok;
    const int error = X509_STORE_CTX_get_error(store);
    std::string why;
    switch (error) {
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            why = "it is not issued for " + self->host_;
            break;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            why = "its CA is not in " +
                  (self->ca_file_.empty() ? std::string("the system's CAs") : self->ca_file_);
            break;
        default:
            why = "it does not verify";
            break;
    }
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (self->refusal_.empty()) {
        self->refusal_ = "Broker certificate refused : " + why + " (" +
                         X509_verify_cert_error_string(error) + ")";
    }
    return ok;
}
