// Small texts and rules of file transfers: progress shown to the
// administrator, the SIZE and MDTM replies, the transfer buffer size, the
// shortcut-name refusal and the file-error replies.
#pragma once

#include <ctime>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvyn {

class CFileException;

// Download progress: "%d%%" of bytes sent against the file size (100 for an
// empty or unknown size), never more than "99%": 100 % is shown as success
// once the transfer has finished.
std::string DownloadProgressText(uint64_t transferred, uint64_t fileSize);

// Upload progress: the size received so far, "%d.%01dGB" from 2^30 bytes,
// "%d.%01dMB" from 2^20, "%d.%01dkB" from 1024 (tenths truncated), else "%d".
std::string UploadProgressText(uint64_t size);

// "213 %s" with the byte count.
std::string SizeReplyText(uint64_t size);
// Modification time in UTC as "%Y%m%d%H%M%S"; empty when the time cannot be
// represented.
std::string MdtmTimeText(time_t modified);
// "213 %s" with MdtmTimeText.
std::string MdtmReplyText(time_t modified);

// Transfer buffer size from FileBufferSize: 0 or less counts as 4096,
// 16386 or more as 16386; the buffer is twice that. Half of it is the unit
// of every disk read and write.
size_t TransferBufferSize(long fileBufferSize);

// Whether a local path names a shortcut: it ends in ".lnk", whatever the
// case ("x.LNK" does, "x.lnk.txt" does not).
bool IsShortcutName(std::string_view path);

// "550 Error on file %.256s: " and "451 Local write error on file %.256s: "
// followed by the exception's text.
std::string FileErrorReplyText(std::string_view name, const CFileException& e);
std::string LocalWriteErrorReplyText(std::string_view name, const CFileException& e);

}  // namespace orvyn
