// The crash states a power cut may leave, after a strict persistence model:
// a file's data write or truncation reaches the disk only once that file is
// synced after it (fsync or fdatasync); a folder entry change (a file made,
// linked, renamed or removed, a folder made) only once that folder is synced
// after it; syncfs and sync make everything before them durable. Until then
// each may be kept or lost, and two may land in either order.
//
// The files live as nodes (a file's data, or a folder's entries) so that a
// name lost or moved does not lose the data written through a descriptor,
// and a folder synced under its new name makes the entries made under its
// old one durable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace powercut {

struct TNode {
  bool Folder = false;
  std::string Data;                            // a file's bytes
  std::map<std::string, std::size_t> Entries;  // a folder's names -> nodes
};

// The folder tree under a root (node 0 is the root itself).
struct TTree {
  std::vector<TNode> Nodes{TNode{true, {}, {}}};
};

// The tree as it lies on disk under Root (regular files and folders).
[[nodiscard]] TTree ReadTree(const std::string& Root);
// Replaces everything under Root by Tree.
[[nodiscard]] bool WriteTree(const TTree& Tree, const std::string& Root);
// The reachable files and folders of Tree, as one text (relative path, kind,
// bytes): equal texts are equal trees.
[[nodiscard]] std::string Flatten(const TTree& Tree);

enum class TOpKind {
  Write,
  Truncate,
  SetEntry,
  RemoveEntry,
  Rename,
  SyncFile,
  SyncFolder,
  SyncAll,
  Output
};

// One change (or sync) inside the root, resolved to nodes.
struct TOp {
  TOpKind Kind = TOpKind::Write;
  std::size_t Node = 0;    // the file written, truncated, synced; the entry's node
  std::size_t Parent = 0;  // the folder of an entry (the new one of a rename)
  std::string Name{};
  std::size_t OldParent = 0;  // a rename's old folder and name
  std::string OldName{};
  std::int64_t Offset = 0;  // a write's offset, a truncation's size
  std::string Bytes{};      // a write's bytes, standard output's text
  std::string What{};       // for people: "write base.jdx @24 +8"
};

struct TOpLog {
  TTree Start;
  std::vector<TOp> Ops;
};

// Reads the recorder's log at LogPath and keeps what happened inside Root
// (whose tree before the run is Start), and the writes to standard output.
[[nodiscard]] TOpLog ReadOps(const std::string& LogPath, const std::string& Root, TTree Start);

// The tree after every op of Log, as the run left it on disk when the
// recorder saw every change.
[[nodiscard]] TTree Replay(const TOpLog& Log);

struct TCrashState {
  std::size_t Point = 0;      // the crash came before op Point
  bool AfterSuccess = false;  // ... and after op Success, the success line
  std::string Variant;        // which of the allowed outcomes, for people
  TTree Tree;
};

// Every distinct crash state at every point 0..Ops.size(): (a) only what was
// synced; (b) everything; (c) everything but one unsynced change, each in
// turn; (d) each file's unsynced writes in reverse order; (e) the last
// unsynced write torn at a 512-byte boundary (its first part only, or its
// last). Identical trees are given once, at their first point before and
// their first point after op Success (Ops.size() or more: none).
[[nodiscard]] std::vector<TCrashState> CrashStates(const TOpLog& Log, std::size_t Success);

}  // namespace powercut
