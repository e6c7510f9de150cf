// Text between the store and the widgets. The store holds bytes, mostly
// UTF-8; a name or value written by another tool may hold bytes that are not
// (Latin-1 names, say). Such bytes are carried through Qt as lone low
// surrogates U+DC80 to U+DCFF, one per byte, and turned back into the same
// bytes on the way out, so a value shown and written back unedited stays
// byte for byte what it was, and a key is found again under its own name.
#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace orvyn::applet {

QString FromStoreText(std::string_view bytes);
std::string ToStoreText(const QString& text);

}  // namespace orvyn::applet
