// The data state of a session: which transfer a data connection serves, or
// that a passive listener waits. Also the start-of-transfer reply (150) and
// the events a data connection selects for each kind of transfer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvyn {

enum class DataState : int {
    SendFile = 1,            // RETR
    SendListing = 2,         // LIST, NLST
    SendMachineListing = 3,  // MLSD
    ReceiveFile = 4,         // STOR, APPE; PORT and EPRT also set it (it then only means "not passive")
    ReceiveUniqueFile = 5,   // STOU
    PassiveListening = 6,    // PASV/EPSV listener waits for the client
    PassiveAccepted = 7,     // the client connected before the transfer command came
};
// The five transfer kinds are the data states below PassiveListening.
using TransferKind = DataState;

bool IsPassiveState(DataState s);
bool IsSendingKind(DataState s);    // send file, send listing, send machine listing
bool IsReceivingKind(DataState s);  // receive file, receive unique file

// Mode text of the 150 reply: "IMAGE / Binary" for Image type (except a plain
// listing) and always for a machine listing, else "ASCII".
const char* TransferModeText(DataState kind, bool imageType);

// What the start of a transfer sends and selects.
struct StartReplyInput {
    DataState kind = DataState::SendFile;
    bool imageType = false;
    std::string_view clientName;            // client-visible file name (file kinds)
    std::optional<uint64_t> bytesToSend;    // send file: size minus restart marker; empty = unknown size
};

// The 150 reply line (without CR LF):
//   send file            "150 "%.256s" file ready to send (%s bytes) in %s mode"
//                        "150 "%.256s" file ready to send (unknown size) in %s mode"
//   listings             "150 File Listing Follows in %s mode."
//   receive file         "150 "%.256s" file ready to receive in %s mode"
//   receive unique file  "150 FILE: %.256s"
// Empty for the two passive states, which start nothing.
std::string StartReplyText(const StartReplyInput& in);

// Data socket events selected once the transfer has started: read, write and
// close for a download; close for a machine listing (its worker writes);
// none for a plain listing; read and close for uploads.
uint32_t StartEvents(DataState kind);

// printf's "%.Ns": at most n bytes of text.
std::string_view Precision(std::string_view text, size_t n);

}  // namespace orvyn
