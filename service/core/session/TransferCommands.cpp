// The data connection and transfer commands: each hands its argument to the
// session's data side (CDataTransfer, service/transfer/connection).
#include "service/core/session/FtpSession.h"

namespace orvyn {

void CFtpSession::OnPort(std::string_view arg) { transfer_->Port(arg); }
void CFtpSession::OnEprt(std::string_view arg) { transfer_->Eprt(arg); }
void CFtpSession::OnPasv(std::string_view) { transfer_->Pasv(); }
void CFtpSession::OnEpsv(std::string_view arg) { transfer_->Epsv(arg); }
void CFtpSession::OnRetr(std::string_view arg) { transfer_->Retr(arg); }
void CFtpSession::OnStor(std::string_view arg) { transfer_->Store(arg, false, false); }
void CFtpSession::OnStou(std::string_view arg) { transfer_->Store(arg, true, false); }
void CFtpSession::OnAppe(std::string_view arg) { transfer_->Store(arg, false, true); }
void CFtpSession::OnRest(std::string_view arg) { transfer_->Rest(arg); }
void CFtpSession::OnAbor(std::string_view) {
    StopHash();
    if (StopDataListing()) return;
    transfer_->Abor();
}

bool CFtpSession::StopDataListing() {
    if (!files_.dataJob) return false;
    // The listing is the transfer's source already, though it is still
    // being built: it ends as an aborted transfer, and nothing is sent.
    files_.dataJob->Stop();
    files_.dataJob.reset();
    files_.dataName.clear();
    CloseDataConnection();
    WriteText("426 Transfer aborted.\r\n", false);
    WriteText("226 Abort Successful.\r\n", false);
    Log('C', "ABORt command successful");
    status_ = "Success";
    return true;
}
void CFtpSession::OnSize(std::string_view arg) { transfer_->Size(arg); }
void CFtpSession::OnMdtm(std::string_view arg) { transfer_->Mdtm(arg); }
void CFtpSession::OnMfmt(std::string_view arg) { transfer_->Mfmt(arg); }
void CFtpSession::SiteChmod(std::string_view args) { transfer_->SiteChmod(args); }
void CFtpSession::SiteUtime(std::string_view args) { transfer_->SiteUtime(args); }

}  // namespace orvyn
