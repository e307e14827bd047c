#pragma once

namespace veltonet {

// Text of an error reported by a failed accept; "Unknown" for a code not in the table. The
// accept path keeps its own wording, apart from the receive, send and connect families.
const char* AcceptErrorText(int code);

}  // namespace veltonet
