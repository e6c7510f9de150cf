// orvyn-reg serve: answers the applet of another computer over a remote
// shell, one request line at a time on standard input, until it ends. The
// lines are those of applet/computer/Wire.h; the verbs are those of
// applet/computer/RemoteComputer.cpp. The store is this computer's, the
// service and the files too.
#pragma once

#include "platform/registry/Registry.h"

namespace orvyn::regtool {

// 0 when the other side ended the conversation, 1 on a broken one.
int Serve(reg::Store& store, int in, int out);

}  // namespace orvyn::regtool
