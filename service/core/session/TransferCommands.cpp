// The data connection and transfer commands: each hands its argument to the
// session's data side (CDataTransfer).
#include "service/core/session/DataTransfer.h"
#include "service/core/session/FtpSession.h"

namespace orvyn {

int CFtpSession::OnPort(std::string_view arg) { return transfer_->Port(arg); }
int CFtpSession::OnEprt(std::string_view arg) { return transfer_->Eprt(arg); }
int CFtpSession::OnPasv(std::string_view arg) { return transfer_->Pasv(arg); }
int CFtpSession::OnEpsv(std::string_view arg) { return transfer_->Epsv(arg); }
int CFtpSession::OnRetr(std::string_view arg) { return transfer_->Retr(arg); }
int CFtpSession::OnStor(std::string_view arg) { return transfer_->Store(arg, false, false); }
int CFtpSession::OnStou(std::string_view arg) { return transfer_->Store(arg, true, false); }
int CFtpSession::OnAppe(std::string_view arg) { return transfer_->Store(arg, false, true); }
int CFtpSession::OnRest(std::string_view arg) { return transfer_->Rest(arg); }
int CFtpSession::OnAbor(std::string_view arg) { return transfer_->Abor(arg); }
int CFtpSession::OnSize(std::string_view arg) { return transfer_->Size(arg); }
int CFtpSession::OnMdtm(std::string_view arg) { return transfer_->Mdtm(arg); }

}  // namespace orvyn
