// lifecycle.h: a store's life in the process: which object opens a directory, who holds its
// lock, and what happens on fork, at exit and when the last object lets go. One place answers
// each of these; the Python side of the same story (the interpreter lock around engine calls)
// is py_calls.h.
//
// Open. A process has at most one Store per directory (same device and inode): every object
// opened on it shares it, so they see each other's changes at once and replay happens once. Opens
// run one at a time in a process, with the interpreter lock released (other threads go on while
// a long log is replayed); a second open of a directory that is still opening waits for the
// first and shares its store. A store whose last object is going away is waited for, so that a
// reopen right after never finds its lock still held.
//
// The directory lock. Exactly one descriptor holds it: the store's `lock_fd_`, an advisory lock
// (flock) released by the kernel when the process dies, exclusive for a read-write store and
// shared for a read-only one. Every other descriptor of the directory is an open file of its
// own, so closing the lock descriptor always lets the lock go.
//
// fork. Before the fork the registry and every store's index and log locks are taken, so the
// child never inherits a lock held by a thread it does not have; both sides release them after.
// The child closes its copy of every lock descriptor at once: a child holding an inherited
// object never keeps the directory locked. It may read through that object; its changes are
// refused, and it never writes the parent's log buffer.
//
// The process id. glibc asks the kernel for it on every getpid(), which a small query would pay
// for on each call; it is kept instead, and the fork hook gives a child its own.
//
// Exit. The log buffers of this process's live stores are written out when the process exits
// (after the interpreter has finished, whatever its daemon threads were doing).
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace korvane {

// A directory's identity.
struct DirId {
  uint64_t dev = 0, ino = 0;
  bool operator==(const DirId& o) const { return dev == o.dev && ino == o.ino; }
};

// This process's id: getpid(), without the system call once a store has been opened.
pid_t this_process();

}  // namespace korvane
