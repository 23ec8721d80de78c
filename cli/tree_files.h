// Tree files and checkpoints as the command line reads and writes them.
//
// The tree file reader of the library accepts a box stream that ends early
// and ignores the box count of the header; the loaders here add those
// checks. A checkpoint wraps a tree file with the exact run parameters (as
// hexadecimal doubles: the tree file keeps only 15 digits of its domain),
// the split-direction table, the pass history, and an end line with a
// checksum over everything before it, so that a file cut short or damaged
// on the disk is refused instead of resumed. Its first line names the
// format; a file of a format this vesk does not read is refused with a
// message that names that format and the ones it reads.
#pragma once

#include <string>

#include "cli/params.h"
#include "tree/tree.h"

namespace vesk {

// Loads a tree file held in memory. Refuses (null and a message) what
// TreeLoad refuses, a box stream with fewer or more boxes than the header
// announces, and bytes after the stream. `name` names the file in messages.
Tree* LoadTreeData(const std::string& data, const std::string& name, std::string* error);

// Reads and loads the tree file at path.
Tree* LoadTreeFile(const std::string& path, std::string* error);

// What a checkpoint holds besides the tree.
struct CheckpointHeader {
  Range a;
  Range b;
  double center[4];
  double radius[4];
  int pass;      // passes completed; a resumed run starts with pass + 1
  int depth0;    // the first run's initial depth
  int maxDepth;  // depth bound in force when it was written
  // Set by CheckpointParse, ignored by CheckpointData (which writes the
  // current format and version).
  int format;             // format of the file read
  std::string writtenBy;  // the vesk version that wrote it; empty for format 1
};

// The checkpoint's content for the lifted tree (dimension 4); history is
// one line of JSON (no line feed).
std::string CheckpointData(const CheckpointHeader& header, Tree* tree,
                           const std::string& history);

// Writes CheckpointData atomically to path.
bool CheckpointSave(const std::string& path, const CheckpointHeader& header, Tree* tree,
                    const std::string& history, std::string* error);

// Whether data begins like a checkpoint.
bool IsCheckpointData(const std::string& data);

// Parses a checkpoint; the tree comes back with the exact domain and split
// table that were saved, its cursor on the root. Null and a message for a
// truncated, damaged or foreign file.
Tree* CheckpointParse(const std::string& data, const std::string& name,
                      CheckpointHeader* header, std::string* history, std::string* error);

Tree* CheckpointLoad(const std::string& path, CheckpointHeader* header,
                     std::string* history, std::string* error);

}  // namespace vesk
