#include "tests/powercut/crash_model.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <unordered_set>

#include "testing/test_support.h"
#include "tests/powercut/trace_record.h"

namespace powercut {
namespace {

namespace fs = std::filesystem;

// Names of one file (hard links) stay one node, keyed by device and inode.
using TInodes = std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t>;

void ReadInto(TTree& Tree, std::size_t Folder, const fs::path& Path, TInodes& Inodes) {
  std::error_code Ec;
  for (const fs::directory_entry& E : fs::directory_iterator(Path, Ec)) {
    std::size_t Node = Tree.Nodes.size();
    struct stat Info {};
    if (E.is_directory(Ec) && !E.is_symlink(Ec)) {
      Tree.Nodes.push_back(TNode{true, {}, {}});
      ReadInto(Tree, Node, E.path(), Inodes);
    } else if (E.is_regular_file(Ec) && !E.is_symlink(Ec) &&
               ::lstat(E.path().c_str(), &Info) == 0) {
      const auto [Known, New] = Inodes.try_emplace({Info.st_dev, Info.st_ino}, Node);
      if (New) {
        Tree.Nodes.push_back(TNode{false, testing_support::ReadFileText(E.path().string()), {}});
      } else {
        Node = Known->second;
      }
    } else {
      continue;
    }
    Tree.Nodes[Folder].Entries[E.path().filename().string()] = Node;
  }
}

// A file with several names is written once and linked under the others,
// as the disk would hold it: whoever recovers may count its links.
bool WriteInto(const TTree& Tree, std::size_t Folder, const fs::path& Path,
               std::map<std::size_t, fs::path>& Written) {
  for (const auto& [Name, Node] : Tree.Nodes[Folder].Entries) {
    const fs::path Child = Path / Name;
    std::error_code Ec;
    if (Tree.Nodes[Node].Folder) {
      if (!fs::create_directory(Child, Ec) || !WriteInto(Tree, Node, Child, Written)) return false;
    } else if (const auto First = Written.find(Node); First != Written.end()) {
      fs::create_hard_link(First->second, Child, Ec);
      if (Ec) return false;
    } else if (!testing_support::WriteFileText(Child.string(), Tree.Nodes[Node].Data)) {
      return false;
    } else {
      Written.emplace(Node, Child);
    }
  }
  return true;
}

void FlattenInto(const TTree& Tree, std::size_t Folder, const std::string& Prefix, std::string& Out,
                 int Depth) {
  if (Depth > 64) return;  // a folder renamed into itself cannot recur forever
  for (const auto& [Name, Node] : Tree.Nodes[Folder].Entries) {
    const std::string Path = Prefix + Name;
    const TNode& N = Tree.Nodes[Node];
    Out += Path + (N.Folder ? "/\n" : "=" + std::to_string(N.Data.size()) + "\n");
    if (N.Folder) {
      FlattenInto(Tree, Node, Path + "/", Out, Depth + 1);
    } else {
      Out += N.Data;
    }
  }
}

// "a/./b//c/../d" -> "a/b/d", lexically.
std::string Normal(const std::string& Path) {
  std::vector<std::string> Parts;
  std::size_t From = 0;
  while (From <= Path.size()) {
    std::size_t To = Path.find('/', From);
    if (To == std::string::npos) To = Path.size();
    const std::string Part = Path.substr(From, To - From);
    if (Part == "..") {
      if (!Parts.empty()) Parts.pop_back();
    } else if (!Part.empty() && Part != ".") {
      Parts.push_back(Part);
    }
    From = To + 1;
  }
  std::string Out;
  for (const std::string& Part : Parts) Out += "/" + Part;
  return Out.empty() ? "/" : Out;
}

struct TCall {
  TRecordHead Head;
  std::string One;
  std::string Two;
};

std::vector<TCall> ReadCalls(const std::string& LogPath) {
  std::vector<TCall> Calls;
  std::ifstream In(LogPath, std::ios::binary);
  TCall Call;
  while (In.read(reinterpret_cast<char*>(&Call.Head), sizeof Call.Head)) {
    Call.One.assign(Call.Head.Len1, '\0');
    Call.Two.assign(Call.Head.Len2, '\0');
    if (!In.read(Call.One.data(), static_cast<std::streamsize>(Call.One.size())) ||
        !In.read(Call.Two.data(), static_cast<std::streamsize>(Call.Two.size()))) {
      break;
    }
    Calls.push_back(Call);
  }
  return Calls;
}

// The names of the run as it went: which node each path and descriptor
// stands for.
class TResolver {
 public:
  TResolver(const std::string& Root, TOpLog& Log) : Root_(Normal(Root)), Log_(Log) {
    Paths_[Root_] = 0;
    Name(0, Root_);
  }

  // Names the files and folders the tree held before the run.
  void NameStart() { NameStart(0, Root_); }

  void Take(const TCall& C) {
    switch (C.Head.Kind) {
      case ckOpen:
        return Open(C);
      case ckWrite:
        if (C.Head.Fd == 1) return Add({.Kind = TOpKind::Output, .Bytes = C.One, .What = "output"});
        if (const auto Node = FileOf(C.Head.Fd); Node && C.Head.Offset >= 0) {
          Add({.Kind = TOpKind::Write,
               .Node = *Node,
               .Offset = C.Head.Offset,
               .Bytes = C.One,
               .What = "write " + Names_[*Node] + " @" + std::to_string(C.Head.Offset) + " +" +
                       std::to_string(C.One.size())});
        }
        return;
      case ckTruncate:
        if (const auto Node = FileOf(C.Head.Fd)) Truncate(*Node, C.Head.Offset);
        return;
      case ckTruncatePath:
        if (const auto Node = Find(Normal(C.One))) Truncate(*Node, C.Head.Offset);
        return;
      case ckSync:
        if (const auto It = Fds_.find(C.Head.Fd); It != Fds_.end()) {
          const bool Folder = Log_.Start.Nodes[It->second].Folder;
          Add({.Kind = Folder ? TOpKind::SyncFolder : TOpKind::SyncFile,
               .Node = It->second,
               .What = "sync " + Names_[It->second]});
        }
        return;
      case ckSyncAll:
        return Add({.Kind = TOpKind::SyncAll, .What = "sync all"});
      case ckRename:
        return Rename(Normal(C.One), Normal(C.Two));
      case ckLink:
        if (const auto Node = Find(Normal(C.One))) SetEntry(Normal(C.Two), *Node, "link");
        return;
      case ckUnlink:
        return Unlink(Normal(C.One));
      case ckMkdir: {
        const std::size_t Node = NewNode(true);
        return SetEntry(Normal(C.One), Node, "mkdir");
      }
      case ckClose:
        Fds_.erase(C.Head.Fd);
        return;
      default:
        return;
    }
  }

 private:
  void NameStart(std::size_t Folder, const std::string& Path) {
    for (const auto& [Child, Node] : Log_.Start.Nodes[Folder].Entries) {
      Paths_[Path + "/" + Child] = Node;
      Name(Node, Path + "/" + Child);
      if (Log_.Start.Nodes[Node].Folder) NameStart(Node, Path + "/" + Child);
    }
  }

  void Add(TOp Op) { Log_.Ops.push_back(std::move(Op)); }

  std::size_t NewNode(bool Folder) {
    Log_.Start.Nodes.push_back(TNode{Folder, {}, {}});
    return Log_.Start.Nodes.size() - 1;
  }

  void Name(std::size_t Node, const std::string& Path) {
    if (Names_.size() <= Node) Names_.resize(Node + 1);
    Names_[Node] = Path == Root_ ? "." : Path.substr(Root_.size() + 1);
  }

  bool Inside(const std::string& Path) const {
    return Path.size() > Root_.size() && Path.compare(0, Root_.size(), Root_) == 0 &&
           Path[Root_.size()] == '/';
  }

  std::optional<std::size_t> Find(const std::string& Path) const {
    const auto It = Paths_.find(Path);
    if (It == Paths_.end()) return std::nullopt;
    return It->second;
  }

  std::optional<std::size_t> FileOf(int Fd) const {
    const auto It = Fds_.find(Fd);
    if (It == Fds_.end() || Log_.Start.Nodes[It->second].Folder) return std::nullopt;
    return It->second;
  }

  // The folder node and the name of Path, when its folder is known.
  std::optional<std::pair<std::size_t, std::string>> Entry(const std::string& Path) const {
    if (!Inside(Path)) return std::nullopt;
    const std::size_t Slash = Path.rfind('/');
    const auto Folder = Find(Path.substr(0, Slash));
    if (!Folder) return std::nullopt;
    return std::make_pair(*Folder, Path.substr(Slash + 1));
  }

  void Truncate(std::size_t Node, std::int64_t Size) {
    Add({.Kind = TOpKind::Truncate,
         .Node = Node,
         .Offset = Size,
         .What = "truncate " + Names_[Node] + " to " + std::to_string(Size)});
  }

  void SetEntry(const std::string& Path, std::size_t Node, const std::string& Verb) {
    const auto E = Entry(Path);
    if (!E) return;
    Paths_[Path] = Node;
    if (Names_.size() <= Node || Names_[Node].empty()) Name(Node, Path);
    Add({.Kind = TOpKind::SetEntry,
         .Node = Node,
         .Parent = E->first,
         .Name = E->second,
         .What = Verb + " " + Path.substr(Root_.size() + 1)});
  }

  // Moves Path (and, for a folder, every path below it) in the name table.
  void MovePaths(const std::string& From, const std::string& To) {
    std::map<std::string, std::size_t> Moved;
    for (auto It = Paths_.begin(); It != Paths_.end();) {
      if (It->first == From || It->first.rfind(From + "/", 0) == 0) {
        Moved[To + It->first.substr(From.size())] = It->second;
        It = Paths_.erase(It);
      } else {
        ++It;
      }
    }
    for (auto& [Path, Node] : Moved) {
      Paths_[Path] = Node;
      Name(Node, Path);
    }
  }

  void Rename(const std::string& From, const std::string& To) {
    const auto Old = Entry(From);
    const auto New = Entry(To);
    const auto Node = Find(From);
    if (!Old || !New || !Node) {
      if (Node) Paths_.erase(From);  // moved out of the root: gone from it
      return;
    }
    MovePaths(From, To);
    Add({.Kind = TOpKind::Rename,
         .Node = *Node,
         .Parent = New->first,
         .Name = New->second,
         .OldParent = Old->first,
         .OldName = Old->second,
         .What = "rename " + From.substr(Root_.size() + 1) + " -> " + To.substr(Root_.size() + 1)});
  }

  void Unlink(const std::string& Path) {
    const auto E = Entry(Path);
    if (!E) return;
    Paths_.erase(Path);
    Add({.Kind = TOpKind::RemoveEntry,
         .Parent = E->first,
         .Name = E->second,
         .What = "remove " + Path.substr(Root_.size() + 1)});
  }

  void Open(const TCall& C) {
    const std::string Path = Normal(C.One);
    const int Fd = static_cast<int>(C.Head.Result);
    Fds_.erase(Fd);
    std::optional<std::size_t> Node = Find(Path);
    if ((C.Head.Extra & cfCreated) != 0 || !Node) {
      if (!Entry(Path)) return;  // outside the root
      Node = NewNode((C.Head.Extra & cfDirectory) != 0);
      SetEntry(Path, *Node, "create");
    } else if ((C.Head.Flags & O_TRUNC) != 0 && (C.Head.Flags & O_ACCMODE) != O_RDONLY) {
      Truncate(*Node, 0);
    }
    Fds_[Fd] = *Node;
  }

  std::string Root_;
  TOpLog& Log_;
  std::map<std::string, std::size_t> Paths_;
  std::map<int, std::size_t> Fds_;
  std::vector<std::string> Names_;
};

bool ChangesFiles(const TOp& Op) {
  switch (Op.Kind) {
    case TOpKind::Write:
    case TOpKind::Truncate:
    case TOpKind::SetEntry:
    case TOpKind::RemoveEntry:
    case TOpKind::Rename:
      return true;
    default:
      return false;
  }
}

// Whether Sync makes op Op durable.
bool Covers(const TOp& Sync, const TOp& Op) {
  if (Sync.Kind == TOpKind::SyncAll) return true;
  switch (Op.Kind) {
    case TOpKind::Write:
    case TOpKind::Truncate:
      return Sync.Kind == TOpKind::SyncFile && Sync.Node == Op.Node;
    case TOpKind::SetEntry:
    case TOpKind::RemoveEntry:
      return Sync.Kind == TOpKind::SyncFolder && Sync.Node == Op.Parent;
    default:
      return false;
  }
}

void Apply(TTree& Tree, const TOp& Op, const std::string* Bytes = nullptr,
           std::int64_t Offset = 0) {
  switch (Op.Kind) {
    case TOpKind::Write: {
      std::string& Data = Tree.Nodes[Op.Node].Data;
      const std::string& Put = Bytes != nullptr ? *Bytes : Op.Bytes;
      const auto At = static_cast<std::size_t>(Op.Offset + Offset);
      if (Data.size() < At + Put.size()) Data.resize(At + Put.size(), '\0');
      std::copy(Put.begin(), Put.end(), Data.begin() + static_cast<std::ptrdiff_t>(At));
      return;
    }
    case TOpKind::Truncate:
      Tree.Nodes[Op.Node].Data.resize(static_cast<std::size_t>(Op.Offset), '\0');
      return;
    case TOpKind::SetEntry:
      Tree.Nodes[Op.Parent].Entries[Op.Name] = Op.Node;
      return;
    case TOpKind::RemoveEntry:
      Tree.Nodes[Op.Parent].Entries.erase(Op.Name);
      return;
    case TOpKind::Rename: {
      auto& Old = Tree.Nodes[Op.OldParent].Entries;
      if (const auto It = Old.find(Op.OldName); It != Old.end() && It->second == Op.Node) {
        Old.erase(It);
      }
      Tree.Nodes[Op.Parent].Entries[Op.Name] = Op.Node;
      return;
    }
    default:
      return;
  }
}

}  // namespace

TTree ReadTree(const std::string& Root) {
  TTree Tree;
  TInodes Inodes;
  ReadInto(Tree, 0, Root, Inodes);
  return Tree;
}

bool WriteTree(const TTree& Tree, const std::string& Root) {
  std::error_code Ec;
  for (const fs::directory_entry& E : fs::directory_iterator(Root, Ec)) fs::remove_all(E, Ec);
  std::map<std::size_t, fs::path> Written;
  return !Ec && WriteInto(Tree, 0, Root, Written);
}

std::string Flatten(const TTree& Tree) {
  std::string Out;
  FlattenInto(Tree, 0, "", Out, 0);
  return Out;
}

TOpLog ReadOps(const std::string& LogPath, const std::string& Root, TTree Start) {
  TOpLog Log;
  Log.Start = std::move(Start);
  TResolver Resolver(Root, Log);
  Resolver.NameStart();
  for (const TCall& C : ReadCalls(LogPath)) Resolver.Take(C);
  return Log;
}

TTree Replay(const TOpLog& Log) {
  TTree Tree = Log.Start;
  for (const TOp& Op : Log.Ops) Apply(Tree, Op);
  return Tree;
}

std::vector<TCrashState> CrashStates(const TOpLog& Log, std::size_t Success) {
  const std::vector<TOp>& Ops = Log.Ops;
  // The first sync after each change that makes it durable (Ops.size():
  // none); a rename needs both of its folders synced.
  std::vector<std::size_t> DurableAt(Ops.size(), Ops.size());
  for (std::size_t I = 0; I < Ops.size(); ++I) {
    if (!ChangesFiles(Ops[I])) continue;
    TOp New = Ops[I];
    TOp Old = Ops[I];
    if (Ops[I].Kind == TOpKind::Rename) {
      New.Kind = Old.Kind = TOpKind::SetEntry;
      Old.Parent = Ops[I].OldParent;
    }
    std::size_t NewAt = Ops.size();
    std::size_t OldAt = Ops.size();
    for (std::size_t J = I + 1; J < Ops.size() && (NewAt == Ops.size() || OldAt == Ops.size());
         ++J) {
      if (NewAt == Ops.size() && Covers(Ops[J], New)) NewAt = J;
      if (OldAt == Ops.size() && Covers(Ops[J], Old)) OldAt = J;
    }
    DurableAt[I] = std::max(NewAt, OldAt);
  }

  std::vector<TCrashState> States;
  std::unordered_set<std::string> Seen;
  const auto Keep = [&](std::size_t Point, std::string Variant, TTree Tree) {
    const bool After = Point > Success;
    if (!Seen.insert((After ? "1" : "0") + Flatten(Tree)).second) return;
    States.push_back({Point, After, std::move(Variant), std::move(Tree)});
  };
  for (std::size_t Point = 0; Point <= Ops.size(); ++Point) {
    std::vector<std::size_t> Unsynced;
    TTree Synced = Log.Start;
    for (std::size_t I = 0; I < Point; ++I) {
      if (!ChangesFiles(Ops[I])) continue;
      if (DurableAt[I] < Point) {
        Apply(Synced, Ops[I]);
      } else {
        Unsynced.push_back(I);
      }
    }
    // Builds the state of the durable changes and the unsynced ones Order
    // lists, in that order; Torn replaces one write by a part of it.
    const auto Build = [&](const std::vector<std::size_t>& Order, std::size_t Torn = SIZE_MAX,
                           std::int64_t From = 0, std::int64_t To = 0) {
      TTree Tree = Log.Start;
      std::size_t U = 0;
      for (std::size_t I = 0; I < Point; ++I) {
        if (!ChangesFiles(Ops[I])) continue;
        if (DurableAt[I] < Point) {
          Apply(Tree, Ops[I]);
          continue;
        }
        // Unsynced ops keep their places in the sequence; Order says which
        // op's change lands in each place.
        if (U >= Order.size()) continue;
        const std::size_t Take = Order[U++];
        if (Take == SIZE_MAX) continue;
        if (Take == Torn) {
          const std::string Part = Ops[Take].Bytes.substr(static_cast<std::size_t>(From),
                                                          static_cast<std::size_t>(To - From));
          Apply(Tree, Ops[Take], &Part, From);
        } else {
          Apply(Tree, Ops[Take]);
        }
      }
      return Tree;
    };
    const std::string At = " at op " + std::to_string(Point);
    Keep(Point, "synced only" + At, Synced);
    Keep(Point, "all" + At, Build(Unsynced));
    for (std::size_t Drop = 0; Drop < Unsynced.size(); ++Drop) {
      std::vector<std::size_t> Order = Unsynced;
      Order[Drop] = SIZE_MAX;
      Keep(
          Point,
          "all but #" + std::to_string(Unsynced[Drop]) + " (" + Ops[Unsynced[Drop]].What + ")" + At,
          Build(Order));
    }
    // Each file's unsynced data changes in reverse order.
    std::set<std::size_t> Files;
    for (const std::size_t I : Unsynced) {
      if (Ops[I].Kind == TOpKind::Write || Ops[I].Kind == TOpKind::Truncate)
        Files.insert(Ops[I].Node);
    }
    for (const std::size_t File : Files) {
      std::vector<std::size_t> Places;
      for (std::size_t U = 0; U < Unsynced.size(); ++U) {
        const TOp& Op = Ops[Unsynced[U]];
        if ((Op.Kind == TOpKind::Write || Op.Kind == TOpKind::Truncate) && Op.Node == File) {
          Places.push_back(U);
        }
      }
      if (Places.size() < 2) continue;
      std::vector<std::size_t> Order = Unsynced;
      for (std::size_t P = 0; P < Places.size(); ++P) {
        Order[Places[P]] = Unsynced[Places[Places.size() - 1 - P]];
      }
      Keep(Point,
           "reversed: " + Ops[Unsynced[Places[0]]].What + " and the " +
               std::to_string(Places.size() - 1) + " unsynced changes after it" + At,
           Build(Order));
    }
    // The last unsynced write torn at a sector boundary.
    for (auto It = Unsynced.rbegin(); It != Unsynced.rend(); ++It) {
      const TOp& Op = Ops[*It];
      if (Op.Kind != TOpKind::Write) continue;
      const std::int64_t End = Op.Offset + static_cast<std::int64_t>(Op.Bytes.size());
      const std::int64_t First = (Op.Offset / 512 + 1) * 512;
      const std::int64_t Last = (End - 1) / 512 * 512;
      if (First < End) {
        const auto Size = static_cast<std::int64_t>(Op.Bytes.size());
        Keep(Point, "#" + std::to_string(*It) + " (" + Op.What + ") torn, first part only" + At,
             Build(Unsynced, *It, 0, First - Op.Offset));
        Keep(Point, "#" + std::to_string(*It) + " (" + Op.What + ") torn, last part only" + At,
             Build(Unsynced, *It, Last - Op.Offset, Size));
      }
      break;
    }
  }
  return States;
}

}  // namespace powercut
