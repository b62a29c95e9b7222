// vacuum.h: compaction of a storage directory after deletions (its crash-safe file protocol; the
// renumbering and rebuilt indexes are core/vacuum_renumber.h's), and the completion at open of a
// compaction that a stop interrupted.
#pragma once

#include <functional>

#include "core/core_index.h"
#include "core/error.h"

namespace korvane {

// Rewrites the record files with the live points only, renumbered densely in their old order,
// rebuilds every index for the new numbering, writes the matching snapshot and empties the log
// through `empty_log`. Requires: the index write lock, and the log buffer already written out.
// Operating-system failures before the commit point are OsPlain and leave everything as it was;
// a failure after it sets *committed and is Fatal: the directory then reopens in the compacted
// state, but this index no longer matches it.
// `committing`, when given, is called right before the commit: from there on the directory's
// files are replaced.
Status vacuum(CoreIndex& ix, const std::function<Status()>& empty_log, bool* committed,
              const std::function<void()>& committing = nullptr);

// Run at open, before anything is read: completes a committed compaction, or removes the working
// files of one that did not reach its commit point.
Status finish_interrupted_vacuum(int dir);
// For tests: when set, consulted before each record file's working copy is renamed into place;
// a nonzero result fails that rename with it as the error number.
extern int (*vacuum_rename_fault)(const char* name);

// True when a compaction of the directory was committed and not yet completed.
bool vacuum_committed(int dir);

}  // namespace korvane
