#include "service/transfer/data/TransferKind.h"

#include "platform/eventloop/EventLoop.h"

namespace orvyn {

bool IsPassiveState(DataState s) {
    return s == DataState::PassiveListening || s == DataState::PassiveAccepted;
}

bool IsSendingKind(DataState s) {
    return s == DataState::SendFile || s == DataState::SendListing || s == DataState::SendMachineListing;
}

bool IsReceivingKind(DataState s) {
    return s == DataState::ReceiveFile || s == DataState::ReceiveUniqueFile;
}

const char* TransferModeText(DataState kind, bool imageType) {
    if ((imageType && kind != DataState::SendListing) || kind == DataState::SendMachineListing) {
        return "IMAGE / Binary";
    }
    return "ASCII";
}

std::string_view Precision(std::string_view text, size_t n) {
    return text.substr(0, n);
}

std::string StartReplyText(const StartReplyInput& in) {
    const std::string mode = TransferModeText(in.kind, in.imageType);
    const std::string name(Precision(in.clientName, 256));
    switch (in.kind) {
    case DataState::SendFile:
        if (in.bytesToSend) {
            return "150 \"" + name + "\" file ready to send (" + std::to_string(*in.bytesToSend) + " bytes) in " +
                   mode + " mode";
        }
        return "150 \"" + name + "\" file ready to send (unknown size) in " + mode + " mode";
    case DataState::SendListing:
    case DataState::SendMachineListing:
        return "150 File Listing Follows in " + mode + " mode.";
    case DataState::ReceiveFile:
        return "150 \"" + name + "\" file ready to receive in " + mode + " mode";
    case DataState::ReceiveUniqueFile:
        return "150 FILE: " + name;
    case DataState::PassiveListening:
    case DataState::PassiveAccepted:
        break;
    }
    return {};
}

uint32_t StartEvents(DataState kind) {
    using namespace eventloop;
    switch (kind) {
    case DataState::SendFile:
        return FD_READ | FD_WRITE | FD_CLOSE;
    case DataState::SendListing:
        return 0;
    case DataState::SendMachineListing:
        return FD_CLOSE;
    case DataState::ReceiveFile:
    case DataState::ReceiveUniqueFile:
        return FD_READ | FD_CLOSE;
    case DataState::PassiveListening:
    case DataState::PassiveAccepted:
        break;
    }
    return 0;
}

}  // namespace orvyn
