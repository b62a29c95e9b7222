// arena_cache.h: keeps a few of the interpreter's freed object arenas for reuse (CPython).
#pragma once

namespace korvane {

// Installs the cache in front of the interpreter's arena allocator; once per process.
void keep_freed_arenas();

}  // namespace korvane
