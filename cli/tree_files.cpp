#include "cli/tree_files.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/chain_recurrent.h"
#include "cli/commands.h"
#include "cli/files.h"
#include "io/tree_file.h"
#include "vesk/version.h"

namespace vesk {

namespace {

// The first line names the format: "vesk verify checkpoint N". Format 1
// goes on with the "pass" line; format 2 puts "version V" (the vesk that
// wrote it) before it. Files of both formats are read; only the current one
// is written.
constexpr const char kMagicPrefix[] = "vesk verify checkpoint ";
constexpr int kFormatWritten = 2;
constexpr int kFormatOldest = 1;
constexpr size_t kEndLineSize = 4 + 16 + 1;  // "end " + 16 hex digits + "\n"

// The format number of the first line, with *bodyStart after that line; -1
// when data does not begin like a checkpoint.
int MagicFormat(const std::string& data, size_t* bodyStart) {
  const size_t n = sizeof kMagicPrefix - 1;
  if (data.compare(0, n, kMagicPrefix) != 0) return -1;
  size_t i = n;
  long format = 0;
  while (i < data.size() && i < n + 6 && data[i] >= '0' && data[i] <= '9')
    format = format * 10 + (data[i++] - '0');
  if (i == n || i >= data.size() || data[i] != '\n' || (data[n] == '0' && i > n + 1))
    return -1;
  if (bodyStart) *bodyStart = i + 1;
  return static_cast<int>(format);
}

// "format 2" or "formats 1 and 2": what this vesk reads.
std::string FormatsRead() {
  if (kFormatOldest == kFormatWritten) return "format " + std::to_string(kFormatWritten);
  return "formats " + std::to_string(kFormatOldest) +
         (kFormatWritten == kFormatOldest + 1 ? " and " : " to ") +
         std::to_string(kFormatWritten);
}

uint64_t Fnv1a(const char* data, size_t size) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < size; ++i) {
    h ^= static_cast<unsigned char>(data[i]);
    h *= 0x100000001b3ull;
  }
  return h;
}

// Reads the text lines of a checkpoint header one by one.
struct LineReader {
  const std::string& data;
  size_t pos;
  // The next line without its line feed, after checking that it starts with
  // key and a blank; false when it does not.
  bool Next(const char* key, std::string* rest) {
    const size_t eol = data.find('\n', pos);
    if (eol == std::string::npos) return false;
    const std::string line = data.substr(pos, eol - pos);
    const size_t klen = std::strlen(key);
    if (line.compare(0, klen, key) != 0 || line.size() <= klen || line[klen] != ' ')
      return false;
    *rest = line.substr(klen + 1);
    pos = eol + 1;
    return true;
  }
};

// Exactly n doubles in C hexadecimal or decimal form, separated by blanks.
bool ReadDoubles(const std::string& text, int n, double* out) {
  const char* p = text.c_str();
  for (int i = 0; i < n; ++i) {
    char* end = nullptr;
    out[i] = std::strtod(p, &end);
    if (end == p || !std::isfinite(out[i])) return false;
    p = end;
  }
  return *p == '\0';
}

bool ReadInt(const std::string& text, int* out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || errno != 0 || v < -1 || v > 2147483647L)
    return false;
  *out = static_cast<int>(v);
  return true;
}

bool ReadSize(const std::string& text, size_t* out) {
  char* end = nullptr;
  errno = 0;
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0) return false;
  *out = static_cast<size_t>(v);
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

Tree* LoadTreeData(const std::string& data, const std::string& name, std::string* error) {
  if (data.empty()) {
    *error = name + " is empty: not a tree file";
    return nullptr;
  }
  FILE* in = fmemopen(const_cast<char*>(data.data()), data.size(), "rb");
  if (in == nullptr) {
    *error = "cannot read " + name + ": " + std::strerror(errno);
    return nullptr;
  }
  char why[1024];
  Tree* tree = TreeFileLoad(in, name.c_str(), why, sizeof why);
  std::fclose(in);
  if (tree == nullptr) *error = why;
  return tree;
}

Tree* LoadTreeFile(const std::string& path, std::string* error) {
  std::string data;
  if (!ReadWholeFile(path, &data, error)) return nullptr;
  return LoadTreeData(data, path, error);
}

std::string CheckpointData(const CheckpointHeader& h, Tree* tree, const std::string& history) {
  const std::string treeData = CollectOutput([tree](FILE* out) { TreeSave(out, tree); });
  std::string text = kMagicPrefix + std::to_string(kFormatWritten) + "\nversion " VESK_VERSION "\n";
  char line[512];
  std::snprintf(line, sizeof line, "pass %d\n", h.pass);
  text += line;
  std::snprintf(line, sizeof line, "a %a %a\nb %a %a\n", h.a.lo, h.a.hi, h.b.lo, h.b.hi);
  text += line;
  std::snprintf(line, sizeof line, "center %a %a %a %a\n", h.center[0], h.center[1],
                h.center[2], h.center[3]);
  text += line;
  std::snprintf(line, sizeof line, "radius %a %a %a %a\n", h.radius[0], h.radius[1],
                h.radius[2], h.radius[3]);
  text += line;
  std::snprintf(line, sizeof line, "depth0 %d\nmax-depth %d\n", h.depth0, h.maxDepth);
  text += line;
  // The split table is not part of a tree file; the reader rebuilds only the
  // entries along the leftmost path.
  text += "split ";
  const int64_t entries = TreeMaxDepth(tree) + 1;
  static const char kHex[] = "0123456789abcdef";
  for (int64_t i = 0; i < entries; ++i) {
    text += kHex[tree->sd[i] >> 4];
    text += kHex[tree->sd[i] & 15];
  }
  text += "\nhistory ";
  text += history;
  std::snprintf(line, sizeof line, "\nboxes %d\ntree %zu\n", TreeCount(tree->root),
                treeData.size());
  text += line;
  text += treeData;
  std::snprintf(line, sizeof line, "end %016" PRIx64 "\n", Fnv1a(text.data(), text.size()));
  text += line;
  return text;
}

bool CheckpointSave(const std::string& path, const CheckpointHeader& header, Tree* tree,
                    const std::string& history, std::string* error) {
  return WriteFileAtomically(path, CheckpointData(header, tree, history), error);
}

bool IsCheckpointData(const std::string& data) { return MagicFormat(data, nullptr) >= 0; }

Tree* CheckpointParse(const std::string& data, const std::string& name,
                      CheckpointHeader* h, std::string* history, std::string* error) {
  size_t headerStart = 0;
  const int format = MagicFormat(data, &headerStart);
  if (format < 0) {
    *error = name + " is not a checkpoint of vesk verify (it must begin with \"" +
             kMagicPrefix + std::to_string(kFormatWritten) + "\")";
    return nullptr;
  }
  if (format < kFormatOldest || format > kFormatWritten) {
    // A later format may say which vesk wrote it on the line after.
    std::string writer;
    const size_t eol = data.find('\n', headerStart);
    if (data.compare(headerStart, 8, "version ") == 0 && eol != std::string::npos &&
        eol - headerStart <= 8 + 32) {
      writer = data.substr(headerStart + 8, eol - headerStart - 8);
      for (char c : writer)
        if (c <= ' ' || c > '~') writer.clear();
    }
    *error = name + " is a checkpoint of format " + std::to_string(format) +
             (writer.empty() ? "" : " (written by vesk " + writer + ")") + ", but this vesk (" +
             VESK_VERSION + ") reads " + FormatsRead() +
             ": resume it with a vesk that reads its format";
    return nullptr;
  }
  // The end line first: without it the file was cut short.
  const size_t size = data.size();
  uint64_t stored = 0;
  bool endOk = size >= headerStart + kEndLineSize &&
               data.compare(size - kEndLineSize, 4, "end ") == 0 && data[size - 1] == '\n';
  for (size_t i = size - kEndLineSize + 4; endOk && i < size - 1; ++i) {
    const int d = HexDigit(data[i]);
    if (d < 0) endOk = false;
    stored = stored << 4 | static_cast<uint64_t>(d);
  }
  const size_t bodySize = endOk ? size - kEndLineSize : 0;
  if (!endOk || Fnv1a(data.data(), bodySize) != stored) {
    // A whole checkpoint with bytes after it is told apart from one cut
    // short or damaged.
    size_t at = size;
    for (int tries = 0; tries < 8; ++tries) {
      at = at > 0 ? data.rfind("end ", at - 1) : std::string::npos;
      if (at == std::string::npos) break;
      const size_t end = at + kEndLineSize;
      if (end > size || data[end - 1] != '\n') continue;
      uint64_t sum = 0;
      bool hex = true;
      for (size_t i = at + 4; i < end - 1 && hex; ++i) {
        const int d = HexDigit(data[i]);
        hex = d >= 0;
        sum = sum << 4 | static_cast<uint64_t>(d < 0 ? 0 : d);
      }
      if (hex && end < size && Fnv1a(data.data(), at) == sum) {
        *error = name + ": " + std::to_string(size - end) +
                 " bytes follow the checkpoint's end line: something was appended to it; "
                 "remove them to resume";
        return nullptr;
      }
    }
    if (!endOk)
      *error = name + " is incomplete (its end line is missing): the checkpoint was cut "
                      "short and cannot be resumed";
    else
      *error = name + " is damaged (its checksum does not match its content) and cannot be "
                      "resumed";
    return nullptr;
  }

  LineReader lines{data, headerStart};
  std::string rest;
  const std::string bad = name + ": malformed checkpoint line ";
  double pair[2];
  int boxes = 0;
  size_t treeBytes = 0;
  h->format = format;
  h->writtenBy.clear();
  if (format >= 2 && (!lines.Next("version", &h->writtenBy) || h->writtenBy.empty())) {
    *error = bad + "\"version\"";
    return nullptr;
  }
  if (!lines.Next("pass", &rest) || !ReadInt(rest, &h->pass) || h->pass < 0) {
    *error = bad + "\"pass\"";
    return nullptr;
  }
  if (!lines.Next("a", &rest) || !ReadDoubles(rest, 2, pair)) {
    *error = bad + "\"a\"";
    return nullptr;
  }
  h->a = {pair[0], pair[1]};
  if (!lines.Next("b", &rest) || !ReadDoubles(rest, 2, pair)) {
    *error = bad + "\"b\"";
    return nullptr;
  }
  h->b = {pair[0], pair[1]};
  if (!lines.Next("center", &rest) || !ReadDoubles(rest, 4, h->center)) {
    *error = bad + "\"center\"";
    return nullptr;
  }
  if (!lines.Next("radius", &rest) || !ReadDoubles(rest, 4, h->radius)) {
    *error = bad + "\"radius\"";
    return nullptr;
  }
  if (!lines.Next("depth0", &rest) || !ReadInt(rest, &h->depth0)) {
    *error = bad + "\"depth0\"";
    return nullptr;
  }
  if (!lines.Next("max-depth", &rest) || !ReadInt(rest, &h->maxDepth)) {
    *error = bad + "\"max-depth\"";
    return nullptr;
  }
  std::string split;
  if (!lines.Next("split", &split)) {
    *error = bad + "\"split\"";
    return nullptr;
  }
  if (!lines.Next("history", history) || !lines.Next("boxes", &rest) ||
      !ReadInt(rest, &boxes)) {
    *error = bad + "\"history\" or \"boxes\"";
    return nullptr;
  }
  if (!lines.Next("tree", &rest) || !ReadSize(rest, &treeBytes) ||
      treeBytes > bodySize || lines.pos + treeBytes != bodySize) {
    *error = bad + "\"tree\" (the tree's length does not fit the file)";
    return nullptr;
  }
  std::string treeError;
  Tree* tree = LoadTreeData(data.substr(lines.pos, treeBytes),
                            name + " (its tree)", &treeError);
  if (tree == nullptr) {
    *error = treeError;
    return nullptr;
  }
  const int64_t entries = TreeMaxDepth(tree) + 1;
  bool splitOk = tree->domain->dim == 4 && static_cast<int64_t>(split.size()) == 2 * entries &&
                 TreeCount(tree->root) == boxes;
  for (int64_t i = 0; splitOk && i < entries; ++i) {
    const int hi = HexDigit(split[2 * i]);
    const int lo = HexDigit(split[2 * i + 1]);
    if (hi < 0 || lo < 0 || hi * 16 + lo >= tree->domain->dim) {
      splitOk = false;
      break;
    }
    tree->sd[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  if (!splitOk) {
    *error = name + ": the tree does not fit the checkpoint (dimension, box count or "
                    "split table)";
    TreeFree(&tree);
    return nullptr;
  }
  // The numbers of the run must fit the tree: every pass refines once, and
  // the loop never goes past its depth bound.
  const int height = TreeDepth(tree->root);
  if (h->pass < 0 || h->pass > kMaxLiftedHeight || h->depth0 < 0 ||
      h->depth0 > kMaxInitialDepth || h->maxDepth < 0 || h->maxDepth > kMaxLiftedHeight ||
      h->depth0 + h->pass != height || height > h->maxDepth) {
    *error = name + ": the checkpoint's numbers do not fit its tree (pass " +
             std::to_string(h->pass) + ", initial depth " + std::to_string(h->depth0) +
             ", depth bound " + std::to_string(h->maxDepth) + ", tree height " +
             std::to_string(height) +
             "; a run's tree is as deep as its initial depth plus its passes, and no deeper "
             "than its bound)";
    TreeFree(&tree);
    return nullptr;
  }
  // The tree file keeps 15 digits of the domain; the header has it exactly.
  for (int i = 0; i < 4; ++i) {
    tree->domain->center[i] = h->center[i];
    tree->domain->radius[i] = h->radius[i];
  }
  TreeReset(tree);
  return tree;
}

Tree* CheckpointLoad(const std::string& path, CheckpointHeader* header,
                     std::string* history, std::string* error) {
  std::string data;
  if (!ReadWholeFile(path, &data, error)) return nullptr;
  return CheckpointParse(data, path, header, history, error);
}

}  // namespace vesk
