// The dry run of --check: every check of a posting, in the same order and
// with the same refusals, then a report of what the posting would be made
// of, and no base opened, created or changed. An operator sees here how the
// keywords were read (they are found anywhere in the command line, also
// inside values) before anything is posted.
#pragma once

namespace vellumar {

// The whole dry run after the first keyword parse: CheckParams, the
// preparation of the composition and the resolution of the base identifier,
// each stopping the program through Error or RunError exactly as a posting
// would. Then writes one line per keyword with its value and its source, the
// base (format, resolved path, whether it exists), the templates' and the
// file's resolved paths, the file's size, the number of sections and the
// size limit. Returns only after success.
void CheckRun();

}  // namespace vellumar
