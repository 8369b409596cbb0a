#pragma once

#include <functional>

// Windows only. Calls `attempt` (a rename or delete that returns false and sets GetLastError() on failure)
// again while it fails because another program holds the file for a moment: a sharing violation, a lock
// violation or access denied, as antivirus, the search indexer or a backup tool cause when they open a
// new file just as it is renamed. Gives up about 2 s after the first failure. Returns the last attempt's
// result, with GetLastError() as that attempt left it. Any thread; sleeps between attempts.
bool retry_while_held(const std::function<bool()>& attempt);
