// AUTH, PBSZ and PROT, and the TLS layers of the session's connections.
#include <cctype>
#include <string>

#include "service/base/replies/Catalogue.h"
#include "service/core/server/FtpServer.h"
#include "service/core/session/FtpSession.h"

namespace orvyn {

std::unique_ptr<CTlsSock> CFtpSession::NewTlsLayer(CTlsSock::Role role, unsigned long* error) {
    std::shared_ptr<CTlsCredentials> credentials;
    if (controlTls_ && role == CTlsSock::Role::Data && controlTls_->credentials()) {
        // A data connection shows the certificate its control connection
        // showed and can resume that connection's session, also after the
        // instance's certificate has been changed: sessions in progress are
        // not cut off by a renewal, new ones get the new certificate.
        credentials = controlTls_->credentials();
    } else {
        *error = server_.AcquireTlsCredentials(credentials);
        if (*error != 0) return nullptr;
    }
    const bool askCertificate = server_.registry().ReadInt("TLS", "ClientCertificateAction", 0) != 0;
    auto layer = std::make_unique<CTlsSock>(std::move(credentials), role, askCertificate,
                                            [this](const std::string& line) { Log('!', "%s", line.c_str()); });
    if (controlTls_ && role == CTlsSock::Role::Data) layer->ExpectOrigin(controlTls_->origin());
    *error = layer->StartHandshake();
    if (*error != 0) return nullptr;
    return layer;
}

bool CFtpSession::StartImplicitTls() {
    unsigned long error = 0;
    std::unique_ptr<CTlsSock> layer = NewTlsLayer(CTlsSock::Role::Control, &error);
    if (!layer) {
        Log('!', "Error %lx trying to negotiate SSL connection", error);
        return false;
    }
    controlTls_ = std::move(layer);
    controlLayer_ = controlTls_.get();
    protection_ = 2;
    return true;
}

void CFtpSession::DropSecurityLayers() {
    transfer_->DropSecurityLayer();
    controlLayer_ = &CSecSock::Plain();
    controlTls_.reset();
    protection_ = 0;
}

void CFtpSession::OnAuth(std::string_view arg) {
    // A protected transfer ends with the layers: its command gets its final
    // reply first, as with REIN.
    if (transfer_->DropSecurityLayer()) WriteText("426 Transfer aborted.\r\n", false);
    DropSecurityLayers();
    if (!CTlsCredentialCache::Configured(server_.registry())) {
        Reply(MSG_NOT_IMPLEMENTED, "AUTH");
        status_ = "Fail";
        return;
    }
    std::string mechanism(arg);
    for (char& c : mechanism) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    int protection = 0;
    if (mechanism == "SSL" || mechanism == "TLS-P") {
        protection = 2;
    } else if (mechanism == "TLS" || mechanism == "TLS-C") {
        protection = 1;
    } else {
        Reply(MSG_AUTH_UNKNOWN, std::string(arg).c_str());
        status_ = "Fail";
        return;
    }
    unsigned long error = 0;
    std::unique_ptr<CTlsSock> layer = NewTlsLayer(CTlsSock::Role::Control, &error);
    if (!layer) {
        ReplyText(MSG_NO_CREDENTIALS);
        Log('!', "Error %lx trying to get credentials", error);
        status_ = "Fail";
        return;
    }
    ReplyText(MSG_AUTH_OK);  // in the clear
    if (!replyBuf_.empty()) {
        // The socket did not take the 234: what is left of it must not go
        // out encrypted. A client that reads no replies is dropped.
        Log('!', "Error %lx trying to negotiate SSL connection", tls::kSecEInternalError);
        CloseSession();
        return;
    }
    // Whatever the client sent after AUTH in the clear is dropped: only
    // what arrives through the layer counts.
    record_.buffer.Clear();
    controlTls_ = std::move(layer);
    controlLayer_ = controlTls_.get();
    protection_ = protection;
    Log('C', "AUTH %s accepted - negotiating", mechanism.c_str());
    status_ = "Success";
}

void CFtpSession::OnPbsz(std::string_view arg) {
    bool digits = !arg.empty();
    bool zero = true;
    for (char c : arg) {
        if (c < '0' || c > '9') digits = false;
        if (c != '0') zero = false;
    }
    if (!digits || !zero) {
        Reply(MSG_PBSZ_BAD, std::string(arg).c_str());
        status_ = "Fail";
        return;
    }
    Reply(MSG_PBSZ_OK, 0);
    status_ = "Success";
}

void CFtpSession::OnProt(std::string_view arg) {
    if ((protection_ == 1 || protection_ == 2) && (arg == "C" || arg == "P")) {
        const bool isPrivate = arg == "P";
        protection_ = isPrivate ? 2 : 1;
        Reply(MSG_PROT_OK, isPrivate ? "TLS-P (control and data encrypted)" : "TLS-C (control encrypted, data clear)");
        status_ = "Success";
        return;
    }
    Reply(MSG_PROT_BAD, std::string(arg).c_str());
    status_ = "Fail";
}

}  // namespace orvyn
