// Files of the command line: checkpoints (exact round trip, refusal of
// truncated or damaged files, the split table), the stricter tree file
// loader, atomic replacement, and the projections drawn in pictures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "cli/files.h"
#include "cli/svg.h"
#include "cli/tree_files.h"
#include "io/tree_file.h"
#include "tree/tree.h"
#include "vesk/version.h"

using namespace vesk;

namespace {

// A lifted tree over a domain whose numbers have no short decimal form,
// subdivided to an uneven depth and thinned out at random, with flags.
Tree* SampleLiftedTree(unsigned seed, int depth) {
  const double c[4] = {0.1, 0.1, -1.0 / 3.0, -1.0 / 3.0};
  const double r[4] = {std::nextafter(3.22, 4.0), std::nextafter(3.22, 4.0), 2.0 / 3.0,
                       2.0 / 3.0};
  Rectangle* domain = RectangleNew(c, r, 4);
  Tree* tree = TreeNew(domain);
  RectangleFree(&domain);
  std::mt19937 rng(seed);
  for (int d = 0; d < depth; ++d) {
    TreeSubdivideAll(tree);
    // Keep about two thirds of the new leaves (flag 1), drop the rest.
    if (TreeFirstBox(tree, -1)) {
      do {
        if (rng() % 3) tree->box->flags |= 1; else tree->box->flags &= ~1;
      } while (TreeNextBox(tree, -1));
    }
    TreeRemove(tree->root, 1);
    TreeReset(tree);
  }
  if (TreeFirstBox(tree, -1)) {
    do tree->box->flags = static_cast<uint8_t>(rng() & 0xff);
    while (TreeNextBox(tree, -1));
  }
  return tree;
}

std::string TreeBytes(Tree* tree) {
  return CollectOutput([tree](FILE* out) { TreeSave(out, tree); });
}

// The box stream alone: shape, sd and flags of every box.
std::string BoxStream(const Tree* tree) {
  return CollectOutput([tree](FILE* out) { TreeSaveBox(out, tree->root); });
}

// The header of a run that started at depth 2 and reached the given height.
CheckpointHeader SampleHeader(int height) {
  CheckpointHeader h{};
  h.a = {std::nextafter(5.9, 0.0), std::nextafter(6.1, 7.0)};
  h.b = {-0.31, std::nextafter(-0.29, 0.0)};
  const double c[4] = {0.1, 0.1, -1.0 / 3.0, -1.0 / 3.0};
  const double r[4] = {std::nextafter(3.22, 4.0), std::nextafter(3.22, 4.0), 2.0 / 3.0,
                       2.0 / 3.0};
  std::memcpy(h.center, c, sizeof c);
  std::memcpy(h.radius, r, sizeof r);
  h.pass = height - 2;
  h.depth0 = 2;
  h.maxDepth = 21;
  return h;
}

bool SameBits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

TEST(CliCheckpoint, RoundTripIsExact) {
  Tree* tree = SampleLiftedTree(1, 7);
  // A split table that is not the default one beyond the tree's depth; a
  // loaded tree file alone would not bring it back.
  tree->sd[9] = 0;
  tree->sd[10] = 3;
  const CheckpointHeader h = SampleHeader(7);
  const std::string history = R"([{"pass":1,"depth":0}])";
  const std::string data = CheckpointData(h, tree, history);

  CheckpointHeader back{};
  std::string backHistory, error;
  Tree* loaded = CheckpointParse(data, "ck", &back, &backHistory, &error);
  ASSERT_NE(loaded, nullptr) << error;
  EXPECT_EQ(BoxStream(loaded), BoxStream(tree));
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(SameBits(loaded->domain->center[i], tree->domain->center[i])) << i;
    EXPECT_TRUE(SameBits(loaded->domain->radius[i], tree->domain->radius[i])) << i;
    EXPECT_TRUE(SameBits(back.center[i], h.center[i]));
    EXPECT_TRUE(SameBits(back.radius[i], h.radius[i]));
  }
  EXPECT_EQ(std::memcmp(loaded->sd, tree->sd, TreeMaxDepth(tree) + 1), 0);
  EXPECT_TRUE(SameBits(back.a.lo, h.a.lo) && SameBits(back.a.hi, h.a.hi));
  EXPECT_TRUE(SameBits(back.b.lo, h.b.lo) && SameBits(back.b.hi, h.b.hi));
  EXPECT_EQ(back.pass, 5);
  EXPECT_EQ(back.depth0, 2);
  EXPECT_EQ(back.maxDepth, 21);
  EXPECT_EQ(backHistory, history);
  // The cursor stands on the root of the exact domain: walks see the same
  // boxes with the same geometry as in the saved tree.
  std::vector<double> a, b;
  for (Tree* t : {tree, loaded}) {
    std::vector<double>& out = t == tree ? a : b;
    if (TreeFirstBox(t, -1)) {
      do out.insert(out.end(), {t->c[0], t->c[1], t->c[2], t->c[3], t->r[0], t->r[3]});
      while (TreeNextBox(t, -1));
    }
  }
  EXPECT_EQ(a, b);
  TreeFree(&loaded);
  TreeFree(&tree);
}

TEST(CliCheckpoint, TreeFileAloneLosesTheSplitTable) {
  // Why the checkpoint carries the table: a lifted tree restricted at depth
  // 6 has its leftmost leaf at depth 6, where the default table splits
  // coordinate 2; the tree file reader puts the leaf's sd byte (0) there.
  Tree* tree = SampleLiftedTree(3, 6);
  ASSERT_EQ(TreeDepth(tree->root), 6);
  const std::string file = TreeBytes(tree);
  std::string error;
  Tree* plain = LoadTreeData(file, "t", &error);
  ASSERT_NE(plain, nullptr) << error;
  EXPECT_EQ(tree->sd[6], 2);
  EXPECT_EQ(plain->sd[6], 0);
  CheckpointHeader h = SampleHeader(6), back{};
  std::string history;
  Tree* loaded = CheckpointParse(CheckpointData(h, tree, "[]"), "ck", &back, &history, &error);
  ASSERT_NE(loaded, nullptr) << error;
  EXPECT_EQ(loaded->sd[6], 2);
  // Subdividing both shows the difference in the boxes made.
  TreeSubdivideAll(loaded);
  TreeSubdivideAll(tree);
  TreeSubdivideAll(plain);
  EXPECT_EQ(BoxStream(loaded), BoxStream(tree));
  EXPECT_NE(BoxStream(plain), BoxStream(tree));
  TreeFree(&loaded);
  TreeFree(&plain);
  TreeFree(&tree);
}

TEST(CliCheckpoint, RefusesEveryTruncationAndDamage) {
  Tree* tree = SampleLiftedTree(2, 6);
  const std::string data = CheckpointData(SampleHeader(6), tree, "[]");
  TreeFree(&tree);
  CheckpointHeader h{};
  std::string history, error;
  for (size_t len = 0; len < data.size(); ++len) {
    error.clear();
    Tree* t = CheckpointParse(data.substr(0, len), "ck", &h, &history, &error);
    EXPECT_EQ(t, nullptr) << "accepted a checkpoint cut at " << len << " of " << data.size();
    TreeFree(&t);
    EXPECT_FALSE(error.empty());
  }
  error.clear();
  Tree* whole = CheckpointParse(data.substr(0, data.size() - 1), "ck", &h, &history, &error);
  EXPECT_EQ(whole, nullptr);
  EXPECT_NE(error.find("cut short"), std::string::npos) << error;
  // One changed byte anywhere, in the header, the tree or the end line.
  std::mt19937 rng(5);
  for (int k = 0; k < 300; ++k) {
    std::string bad = data;
    const size_t at = rng() % bad.size();
    bad[at] = static_cast<char>(bad[at] ^ (1 + rng() % 255));
    error.clear();
    Tree* t = CheckpointParse(bad, "ck", &h, &history, &error);
    EXPECT_EQ(t, nullptr) << "accepted a checkpoint changed at byte " << at;
    TreeFree(&t);
  }
  // Not a checkpoint at all.
  Tree* t = CheckpointParse("Tree at 0x1:\n", "f", &h, &history, &error);
  EXPECT_EQ(t, nullptr);
  EXPECT_NE(error.find("not a checkpoint"), std::string::npos) << error;
}

// The checkpoint with its first lines replaced and the end line recomputed
// (FNV-1a over everything before it), as a file of another format would be.
std::string WithHead(const std::string& data, const std::string& head, size_t oldHeadSize) {
  std::string body = head + data.substr(oldHeadSize, data.rfind("end ") - oldHeadSize);
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : body) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  char end[32];
  std::snprintf(end, sizeof end, "end %016llx\n", static_cast<unsigned long long>(h));
  return body + end;
}

TEST(CliCheckpoint, FormatsOneAndTwoAreReadOthersRefused) {
  Tree* tree = SampleLiftedTree(3, 6);
  const std::string data = CheckpointData(SampleHeader(6), tree, "[]");
  TreeFree(&tree);
  const std::string head = std::string("vesk verify checkpoint 2\nversion ") + VESK_VERSION + "\n";
  ASSERT_EQ(data.compare(0, head.size(), head), 0) << data.substr(0, 60);
  CheckpointHeader h{};
  std::string history, error;
  Tree* current = CheckpointParse(data, "ck", &h, &history, &error);
  ASSERT_NE(current, nullptr) << error;
  EXPECT_EQ(h.format, 2);
  EXPECT_EQ(h.writtenBy, VESK_VERSION);
  const std::string boxes = BoxStream(current);
  TreeFree(&current);

  // Format 1: no version line; read as before.
  h = CheckpointHeader{};
  Tree* old = CheckpointParse(WithHead(data, "vesk verify checkpoint 1\n", head.size()), "ck", &h,
                              &history, &error);
  ASSERT_NE(old, nullptr) << error;
  EXPECT_EQ(h.format, 1);
  EXPECT_EQ(h.writtenBy, "");
  EXPECT_EQ(h.pass, 4);
  EXPECT_EQ(BoxStream(old), boxes);
  TreeFree(&old);

  // A later format is refused before anything else is read, with both
  // formats, this vesk's version and the writer's in the message.
  for (const std::string& later : {std::string("vesk verify checkpoint 3\nversion 9.4.1\n"),
                                   std::string("vesk verify checkpoint 3\n")}) {
    error.clear();
    Tree* t = CheckpointParse(WithHead(data, later, head.size()), "new.ck", &h, &history, &error);
    EXPECT_EQ(t, nullptr);
    TreeFree(&t);
    EXPECT_NE(error.find("new.ck is a checkpoint of format 3"), std::string::npos) << error;
    EXPECT_NE(error.find("reads formats 1 and 2"), std::string::npos) << error;
    EXPECT_NE(error.find(std::string("this vesk (") + VESK_VERSION + ")"), std::string::npos)
        << error;
    EXPECT_EQ(error.find("9.4.1") != std::string::npos, later.size() > 25) << error;
  }
  error.clear();
  Tree* zero = CheckpointParse(WithHead(data, "vesk verify checkpoint 0\n", head.size()), "ck", &h,
                               &history, &error);
  EXPECT_EQ(zero, nullptr);
  EXPECT_NE(error.find("format 0"), std::string::npos) << error;
  TreeFree(&zero);
  // Format 2 without its version line is malformed, not format 1.
  error.clear();
  Tree* t = CheckpointParse(WithHead(data, "vesk verify checkpoint 2\n", head.size()), "ck", &h,
                            &history, &error);
  EXPECT_EQ(t, nullptr);
  EXPECT_NE(error.find("malformed checkpoint line \"version\""), std::string::npos) << error;
  TreeFree(&t);
}

TEST(CliTreeFiles, LoaderChecksTheBoxCountAndTheEnd) {
  Tree* tree = SampleLiftedTree(4, 5);
  const std::string file = TreeBytes(tree);
  std::string error;
  Tree* ok = LoadTreeData(file, "t.tree", &error);
  ASSERT_NE(ok, nullptr) << error;
  EXPECT_EQ(BoxStream(ok), BoxStream(tree));
  TreeFree(&ok);

  // Cut anywhere inside the box stream, even where only closing 0 bytes of
  // missing children are lost: the library reader keeps what it read, the
  // command line refuses the file.
  const size_t header = file.size() - BoxStream(tree).size();
  for (size_t len = header; len < file.size(); ++len) {
    error.clear();
    Tree* t = LoadTreeData(file.substr(0, len), "t.tree", &error);
    EXPECT_EQ(t, nullptr) << len << " of " << file.size();
    EXPECT_FALSE(error.empty());
    TreeFree(&t);
  }
  error.clear();
  Tree* cut = LoadTreeData(file.substr(0, (header + file.size()) / 2), "t.tree", &error);
  EXPECT_EQ(cut, nullptr);
  EXPECT_NE(error.find("truncated or damaged"), std::string::npos) << error;
  Tree* t = LoadTreeData(file + "xyz", "t.tree", &error);
  EXPECT_EQ(t, nullptr);
  EXPECT_NE(error.find("3 bytes follow the box stream"), std::string::npos) << error;
  t = LoadTreeData("", "t.tree", &error);
  EXPECT_EQ(t, nullptr);
  EXPECT_NE(error.find("empty"), std::string::npos) << error;
  t = LoadTreeData("hello\n", "t.tree", &error);
  EXPECT_EQ(t, nullptr);
  EXPECT_NE(error.find("not a tree file"), std::string::npos) << error;
  TreeFree(&tree);
}

class CliFilesOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/vesk_cli_files_XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    for (const char* name : {"/out.txt", "/out.txt.tmp", "/ck"}) unlink((dir_ + name).c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_;
};

TEST_F(CliFilesOnDisk, AtomicWriteReplacesWholly) {
  const std::string path = dir_ + "/out.txt";
  std::string error, back;
  ASSERT_TRUE(WriteFileAtomically(path, "first version\n", &error)) << error;
  ASSERT_TRUE(WriteFileAtomically(path, std::string("second\0version", 14), &error)) << error;
  ASSERT_TRUE(ReadWholeFile(path, &back, &error)) << error;
  EXPECT_EQ(back, std::string("second\0version", 14));
  struct stat st;
  EXPECT_NE(stat((path + ".tmp").c_str(), &st), 0) << "temporary file left behind";
  // A directory that does not exist: nothing is created, the message says why.
  EXPECT_FALSE(WriteFileAtomically(dir_ + "/no/such/file", "x", &error));
  EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
  EXPECT_FALSE(CheckWritablePath(dir_ + "/no/file", "--json", &error));
  EXPECT_NE(error.find("does not exist"), std::string::npos) << error;
  EXPECT_FALSE(CheckWritablePath(dir_, "--json", &error));
  EXPECT_NE(error.find("is a directory"), std::string::npos) << error;
  EXPECT_TRUE(CheckWritablePath(path, "--json", &error)) << error;
  EXPECT_FALSE(ReadWholeFile(dir_ + "/missing", &back, &error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

TEST_F(CliFilesOnDisk, CheckpointSaveAndLoad) {
  Tree* tree = SampleLiftedTree(6, 4);
  const std::string path = dir_ + "/ck";
  std::string error, history;
  ASSERT_TRUE(CheckpointSave(path, SampleHeader(4), tree, "[1]", &error)) << error;
  CheckpointHeader h{};
  Tree* loaded = CheckpointLoad(path, &h, &history, &error);
  ASSERT_NE(loaded, nullptr) << error;
  EXPECT_EQ(BoxStream(loaded), BoxStream(tree));
  EXPECT_EQ(history, "[1]");
  TreeFree(&loaded);
  TreeFree(&tree);
}

TEST(CliPicture, ProjectionsAreTheDistinctShadowsOfTheBoxes) {
  Tree* tree = SampleLiftedTree(7, 9);
  for (const auto& [i, j] : {std::pair{0, 1}, std::pair{2, 3}, std::pair{1, -1}}) {
    const std::vector<PlaneBox> boxes = ProjectBoxes(tree, -1, i, j);
    // Brute force: every leaf's shadow, as a set.
    std::set<std::tuple<double, double, double, double>> expected;
    if (TreeFirstBox(tree, -1)) {
      do {
        const double lo1 = j >= 0 ? tree->c[j] - tree->r[j] : 0.0;
        const double hi1 = j >= 0 ? tree->c[j] + tree->r[j] : 1.0;
        expected.insert({tree->c[i] - tree->r[i], lo1, tree->c[i] + tree->r[i], hi1});
      } while (TreeNextBox(tree, -1));
    }
    std::set<std::tuple<double, double, double, double>> got;
    for (const PlaneBox& b : boxes) got.insert({b.lo[0], b.lo[1], b.hi[0], b.hi[1]});
    EXPECT_EQ(got.size(), boxes.size()) << "duplicates";
    EXPECT_EQ(got, expected);
  }
  TreeFree(&tree);
  EXPECT_EQ(XmlEscape("a < b & \"c\" > d"), "a &lt; b &amp; &quot;c&quot; &gt; d");
}

}  // namespace
