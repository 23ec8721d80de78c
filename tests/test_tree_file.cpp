// Tree files: header, box stream, loading checks, rectangles and Iter.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "io/tree_file.h"
#include "random_tree.h"

using namespace vesk;
using iotest::MakeTree;
using iotest::RandomTree;
using iotest::StderrOf;
using iotest::StreamOf;
using iotest::WrittenBy;

namespace {

std::string Bytes(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s.push_back(static_cast<char>(b));
  return s;
}

std::string Pointer(const void* p) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

// Reference reading of a box stream, recursive as the format is defined:
// a 0 byte or the end is no box, any other byte a box whose sd and flags
// bytes follow (0 where missing), then its lower and upper child.
struct Ref {
  int sd = 0, flags = 0;
  std::unique_ptr<Ref> ch[2];
};

int NextByte(const std::string& s, size_t& pos) {
  return pos < s.size() ? static_cast<unsigned char>(s[pos++]) : -1;
}

std::unique_ptr<Ref> Parse(const std::string& s, size_t& pos) {
  const int head = NextByte(s, pos);
  if (head <= 0) return nullptr;
  auto n = std::make_unique<Ref>();
  n->sd = std::max(0, NextByte(s, pos));
  n->flags = std::max(0, NextByte(s, pos));
  n->ch[0] = Parse(s, pos);
  n->ch[1] = Parse(s, pos);
  return n;
}

// Whether a tree of dimension dim may hold the parsed boxes: none deeper
// than dim * 500, every box with a child split along a coordinate < dim.
bool Loadable(const Ref* n, int dim, int depth) {
  if (!n) return true;
  if (depth > dim * kDepthPerDim) return false;
  if ((n->ch[0] || n->ch[1]) && n->sd >= dim) return false;
  return Loadable(n->ch[0].get(), dim, depth + 1) && Loadable(n->ch[1].get(), dim, depth + 1);
}

bool SameAsRef(const Box* b, const Ref* n) {
  if (!b || !n) return !b && !n;
  return b->sd == n->sd && b->flags == n->flags && b->tag == 1 && b->no == -1 &&
         SameAsRef(b->child[0], n->ch[0].get()) && SameAsRef(b->child[1], n->ch[1].get());
}

bool SameBoxes(const Box* a, const Box* b) {
  if (!a || !b) return !a && !b;
  return a->sd == b->sd && a->flags == b->flags && b->tag == 1 &&
         SameBoxes(a->child[0], b->child[0]) && SameBoxes(a->child[1], b->child[1]);
}

// A header as a writer of dimension dim over [-1, 1]^dim would write it.
std::string Header(int dim, int count = 1) {
  std::string h = "Tree at 0x1234:\nRectangle at 0x5678:\n  dim = " + std::to_string(dim) +
                  "\n  center = ";
  for (int i = 0; i < dim; ++i) h += "0 ";
  h += "\n  radius = ";
  for (int i = 0; i < dim; ++i) h += "1 ";
  return h + "\n  no of boxes = " + std::to_string(count) + "\n";
}

Tree* LoadString(const std::string& bytes) {
  FILE* in = StreamOf(bytes);
  Tree* tree = TreeLoad(in);
  std::fclose(in);
  return tree;
}

// A chain of n boxes, each the lower child of the one before.
std::string Chain(int n, int sd) {
  std::string s;
  for (int i = 0; i < n; ++i) s += Bytes({1, sd, 0});
  s += Bytes({0, 0});
  s.append(static_cast<size_t>(n - 1), '\0');
  return s;
}

// The loaded tree's cursor and table as TreeLoad must leave them: cursor
// on the first leaf of the walk (the end of the leftmost path), table
// entries along that path from the boxes' sd bytes, defaults below.
void ExpectLeftmostPathState(Tree* tree) {
  const int dim = tree->domain->dim;
  Tree* copy = TreeCopy(tree);
  ASSERT_TRUE(TreeFirstBox(copy, -1));
  EXPECT_EQ(tree->box, copy->box);
  EXPECT_EQ(tree->depth, copy->depth);
  EXPECT_EQ(std::memcmp(tree->c, copy->c, dim * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(tree->r, copy->r, dim * sizeof(double)), 0);
  TreeFree(&copy);
  const Box* b = tree->root;
  int64_t d = 0;
  for (;; ++d) {
    const bool leaf = !b->child[0] && !b->child[1];
    const int want = leaf && b->sd >= dim ? static_cast<int>(d % dim) : b->sd;
    EXPECT_EQ(tree->sd[d], want) << "table entry " << d;
    if (leaf) break;
    b = b->child[0] ? b->child[0] : b->child[1];
  }
  for (int64_t e = d + 1; e <= TreeMaxDepth(tree); ++e)
    if (tree->sd[e] != e % dim) {
      ADD_FAILURE() << "table entry " << e << " is not the default";
      break;
    }
  EXPECT_EQ(*tree->refCount, 1);
}

}  // namespace

TEST(TreeSave, ExampleStream) {
  Tree* tree = MakeTree({0.0, 0.0}, {1.0, 1.0});
  Box* root = tree->root;
  root->flags = 1;
  BoxSubdivide(root, 0);
  BoxSubdivide(root->child[0], 1);
  root->child[0]->child[0]->flags = 2;
  root->child[0]->child[1]->flags = 3;
  const std::string file = WrittenBy([&](FILE* out) { TreeSave(out, tree); });
  const std::string stream =
      Bytes({1, 0, 1, 1, 1, 0, 1, 0, 2, 0, 0, 1, 0, 3, 0, 0, 1, 0, 0, 0, 0});
  ASSERT_EQ(stream.size(), 21u);
  EXPECT_EQ(file, "Tree at " + Pointer(tree) + ":\nRectangle at " + Pointer(tree->domain) +
                      ":\n  dim = 2\n  center = 0 0 \n  radius = 1 1 \n  no of boxes = 5\n" +
                      stream);
  EXPECT_EQ(WrittenBy([&](FILE* out) { TreeSaveBox(out, root); }), stream);
  EXPECT_EQ(WrittenBy([&](FILE* out) { TreeSaveBox(out, nullptr); }), Bytes({0}));
  EXPECT_EQ(WrittenBy([&](FILE* out) { BoxSave(out, root); }), Bytes({1, 0, 1}));
  EXPECT_EQ(WrittenBy([&](FILE* out) { BoxSave(out, nullptr); }), Bytes({0}));

  Tree* loaded = LoadString(file);
  ASSERT_NE(loaded, nullptr);
  EXPECT_TRUE(SameBoxes(root, loaded->root));
  EXPECT_EQ(loaded->domain->dim, 2);
  ExpectLeftmostPathState(loaded);
  TreeFree(&loaded);
  TreeFree(&tree);
}

TEST(TreeSave, RootLeafSetsTableEntry) {
  Tree* tree = MakeTree({0.0, 0.0, 0.0}, {1.0, 1.0, 1.0});
  tree->root->sd = 2;  // left over from an undone split
  tree->root->flags = 9;
  const std::string file = WrittenBy([&](FILE* out) { TreeSave(out, tree); });
  const std::string tail = "  no of boxes = 1\n" + Bytes({1, 2, 9, 0, 0});
  ASSERT_GT(file.size(), tail.size());
  EXPECT_EQ(file.substr(file.size() - tail.size()), tail);
  Tree* loaded = LoadString(file);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->sd[0], 2);
  EXPECT_EQ(loaded->sd[1], 1);
  EXPECT_EQ(loaded->root->flags, 9);
  EXPECT_EQ(loaded->box, loaded->root);
  TreeFree(&loaded);
  TreeFree(&tree);
}

TEST(TreeSave, RandomTreesRoundTrip) {
  std::mt19937 rng(31337);
  for (int trial = 0; trial < 150; ++trial) {
    const int dim = 1 + trial % 5;
    Tree* tree = RandomTree(rng, dim, 10, trial % 2 == 0);
    // Leaves carry arbitrary valid sd bytes; they must survive as well.
    if (TreeFirstBox(tree, -1)) {
      do tree->box->sd = static_cast<uint8_t>(rng() % dim);
      while (TreeNextBox(tree, -1));
    }
    const std::string file = WrittenBy([&](FILE* out) { TreeSave(out, tree); });
    Tree* loaded = LoadString(file);
    ASSERT_NE(loaded, nullptr);
    EXPECT_TRUE(SameBoxes(tree->root, loaded->root)) << "trial " << trial;
    ASSERT_EQ(loaded->domain->dim, dim);
    EXPECT_EQ(std::memcmp(loaded->domain->center, tree->domain->center, dim * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(loaded->domain->radius, tree->domain->radius, dim * sizeof(double)), 0);
    ExpectLeftmostPathState(loaded);
    // Saving the loaded tree gives the same file but for the addresses.
    const std::string again = WrittenBy([&](FILE* out) { TreeSave(out, loaded); });
    const auto body = [](const std::string& s) {
      return s.substr(s.find('\n', s.find('\n') + 1));
    };
    EXPECT_EQ(body(again), body(file));
    const std::string count = "  no of boxes = " + std::to_string(TreeCount(tree->root)) + "\n";
    EXPECT_NE(file.find(count), std::string::npos);
    TreeFree(&loaded);
    TreeFree(&tree);
    if (HasFailure()) break;
  }
}

TEST(TreeLoad, NullTreesAndMissingBoxes) {
  const std::string nullFile = WrittenBy([](FILE* out) { TreeSave(out, nullptr); });
  EXPECT_EQ(nullFile, "Tree at " + Pointer(nullptr) + ":\n");
  std::string err = StderrOf([&] {
    EXPECT_EQ(LoadString(nullFile), nullptr);
    EXPECT_EQ(LoadString(""), nullptr);
    EXPECT_EQ(LoadString("garbage"), nullptr);
    EXPECT_EQ(LoadString(Header(2) + Bytes({0, 1, 0, 0})), nullptr);  // stream starts with 0
    EXPECT_EQ(LoadString(Header(2)), nullptr);                        // stream ends at once
    EXPECT_EQ(LoadString("Tree at 0x1:\nRectangle at " + Pointer(nullptr) + ":\n"), nullptr);
    EXPECT_EQ(LoadString("Tree at 0x1:\nRectangle at 0x2:\n  dim = 1\n  center = 0 \n"
                         "  radius = 1 \n  no of boxes = x\n"),
              nullptr);
  });
  // These are the quiet cases of the format.
  EXPECT_EQ(err, "");
}

TEST(TreeLoad, TolerantReading) {
  // The box count is informative only, any byte but 0 starts a box, and a
  // box may claim an sd byte beyond the dimension while it is a leaf.
  Tree* tree = LoadString(Header(2, 99) + Bytes({7, 0, 5, 0, 42, 200, 8, 0, 0}));
  ASSERT_NE(tree, nullptr);
  const Box* root = tree->root;
  EXPECT_EQ(root->tag, 1);
  EXPECT_EQ(root->flags, 5);
  EXPECT_EQ(root->child[0], nullptr);
  ASSERT_NE(root->child[1], nullptr);
  EXPECT_EQ(root->child[1]->tag, 1);
  EXPECT_EQ(root->child[1]->sd, 200);
  EXPECT_EQ(root->child[1]->flags, 8);
  EXPECT_EQ(tree->sd[1], 1);  // default kept: 200 is no coordinate
  ExpectLeftmostPathState(tree);
  ASSERT_TRUE(TreeFirstBox(tree, -1));
  EXPECT_EQ(tree->c[0], 0.5);
  EXPECT_EQ(tree->r[0], 0.5);
  TreeFree(&tree);
}

TEST(TreeLoad, TruncatedAndMutatedStreamsFollowTheFormat) {
  // Every prefix of a stream, and random byte edits, load as the recursive
  // definition of the format reads them; refusals exactly where the boxes
  // do not fit the dimension.
  std::mt19937 rng(4242);
  for (int trial = 0; trial < 400; ++trial) {
    const int dim = 1 + trial % 3;
    Tree* src = RandomTree(rng, dim, 6, true);
    std::string stream = WrittenBy([&](FILE* out) { TreeSaveBox(out, src->root); });
    TreeFree(&src);
    if (trial % 2) {
      const int edits = 1 + rng() % 4;
      for (int e = 0; e < edits; ++e) {
        const size_t at = rng() % stream.size();
        const int choice = rng() % 4;
        stream[at] = static_cast<char>(choice == 0 ? 0 : choice == 1 ? 1 : rng() % 256);
      }
    }
    const size_t cut = trial % 3 == 0 ? rng() % (stream.size() + 1) : stream.size();
    stream.resize(cut);

    size_t pos = 0;
    std::unique_ptr<Ref> ref = Parse(stream, pos);
    // As a bare box stream.
    FILE* in = StreamOf(stream);
    Box* box = TreeLoadBox(in);
    std::fclose(in);
    EXPECT_TRUE(SameAsRef(box, ref.get())) << "trial " << trial;
    BoxFree(&box);
    // Behind a header: the count line's pattern swallows leading blanks.
    size_t skip = 0;
    while (skip < stream.size() && std::isspace(static_cast<unsigned char>(stream[skip]))) ++skip;
    pos = skip;
    ref = Parse(stream, pos);
    Tree* tree = nullptr;
    const std::string err = StderrOf([&] { tree = LoadString(Header(dim) + stream); });
    if (!ref) {
      EXPECT_EQ(tree, nullptr);
      EXPECT_EQ(err, "");
    } else if (!Loadable(ref.get(), dim, 0)) {
      EXPECT_EQ(tree, nullptr) << "trial " << trial;
      EXPECT_EQ(err.rfind("error: libvesk: TreeLoad(): ", 0), 0u) << err;
    } else {
      ASSERT_NE(tree, nullptr) << "trial " << trial;
      EXPECT_TRUE(SameAsRef(tree->root, ref.get())) << "trial " << trial;
      ExpectLeftmostPathState(tree);
      EXPECT_EQ(err, "");
    }
    TreeFree(&tree);
    if (HasFailure()) break;
  }
}

TEST(TreeLoad, RefusesTreesDeeperThanTheStacks) {
  // Depth dim * 500 is the deepest a box may lie.
  Tree* tree = LoadString(Header(1) + Chain(501, 0));
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(tree->depth, 500);
  ASSERT_TRUE(TreeFirstBox(tree, -1));
  EXPECT_EQ(tree->depth, 500);
  EXPECT_FALSE(TreeNextBox(tree, -1));
  TreeFree(&tree);

  std::string err = StderrOf([&] { tree = LoadString(Header(1) + Chain(502, 0)); });
  EXPECT_EQ(tree, nullptr);
  EXPECT_EQ(err.rfind("error: libvesk: TreeLoad(): ", 0), 0u) << err;

  // The same beyond the upper child, deeper down a mixed path.
  std::string mixed;
  for (int i = 0; i < 1002; ++i) mixed += Bytes({1, i % 2, 0, 0});
  mixed += Bytes({0, 0});
  err = StderrOf([&] { tree = LoadString(Header(2) + mixed); });
  EXPECT_EQ(tree, nullptr);
  EXPECT_NE(err.find("error: libvesk: "), std::string::npos);
}

TEST(TreeLoad, HostileDepthNeedsNoMachineStack) {
  // Far deeper than any recursion could go; the loader stops at the limit
  // and the bare stream reader and writer handle it whole.
  const int n = 300000;
  const std::string chain = Chain(n, 254);
  Tree* tree = nullptr;
  const std::string err = StderrOf([&] { tree = LoadString(Header(255) + chain); });
  EXPECT_EQ(tree, nullptr);
  EXPECT_NE(err.find("error: libvesk: "), std::string::npos);

  FILE* in = StreamOf(chain);
  Box* box = TreeLoadBox(in);
  std::fclose(in);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(TreeCount(box), n);
  EXPECT_EQ(WrittenBy([&](FILE* out) { TreeSaveBox(out, box); }), chain);
  BoxFree(&box);
}

TEST(TreeLoad, RefusesSplitsBeyondTheDimension) {
  Tree* tree = nullptr;
  // Root split along coordinate 2 of a 2-dimensional tree.
  std::string err = StderrOf([&] { tree = LoadString(Header(2) + Bytes({1, 2, 0, 1, 0, 0, 0, 0, 0})); });
  EXPECT_EQ(tree, nullptr);
  EXPECT_EQ(err.rfind("error: libvesk: TreeLoad(): ", 0), 0u) << err;
  // Deeper down, behind a valid first subtree, through the upper child.
  err = StderrOf([&] {
    tree = LoadString(Header(2) + Bytes({1, 0, 0, 1, 1, 0, 0, 0, 1, 255, 0, 0, 1, 0, 0, 0, 0}));
  });
  EXPECT_EQ(tree, nullptr);
  EXPECT_NE(err.find("error: libvesk: "), std::string::npos);
}

// A FIFO that no one writes: a plain open for reading waits for a writer
// for ever. The alarm turns such a wait into a failed test, not a hang.
TEST(TreeFileOpen, RefusesAFifoWithoutWaitingAndOpensRegularFiles) {
  char dir[] = "/tmp/vesk_open_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/fifo", file = std::string(dir) + "/t.tree";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  char why[512];
  int notRegular = -1;
  alarm(30);
  FILE* in = TreeFileOpen(fifo.c_str(), why, sizeof why, &notRegular);
  alarm(0);
  EXPECT_EQ(in, nullptr);
  EXPECT_EQ(notRegular, 1);
  EXPECT_NE(std::string(why).find("is not a regular file"), std::string::npos) << why;

  in = TreeFileOpen(file.c_str(), why, sizeof why, &notRegular);
  EXPECT_EQ(in, nullptr);
  EXPECT_EQ(notRegular, 0);
  EXPECT_NE(std::string(why).find("cannot open"), std::string::npos) << why;

  // A regular file opens, and the stream reads what was saved.
  Tree* tree = MakeTree({0, 0}, {1, 1});
  TreeSubdivideAll(tree);
  TreeSubdivideAll(tree);
  FILE* out = std::fopen(file.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  TreeSave(out, tree);
  std::fclose(out);
  in = TreeFileOpen(file.c_str(), why, sizeof why, &notRegular);
  ASSERT_NE(in, nullptr) << why;
  Tree* loaded = TreeFileLoad(in, file.c_str(), why, sizeof why);
  std::fclose(in);
  ASSERT_NE(loaded, nullptr) << why;
  EXPECT_TRUE(SameBoxes(tree->root, loaded->root));
  TreeFree(&loaded);
  TreeFree(&tree);
  unlink(file.c_str());
  unlink(fifo.c_str());
  rmdir(dir);
}

TEST(RectangleLoad, RefusesBadDimensions) {
  for (const char* dimLine : {"  dim = 0\n", "  dim = 256\n", "  dim = -3\n",
                              "  dim = 4294967297\n", "  dim = many\n", ""}) {
    const std::string text = std::string("Rectangle at 0x10:\n") + dimLine +
                             "  center = 1 \n  radius = 1 \n";
    Rectangle* rect = nullptr;
    std::string err = StderrOf([&] {
      FILE* in = StreamOf(text);
      rect = RectangleLoad(in);
      std::fclose(in);
    });
    EXPECT_EQ(rect, nullptr) << dimLine;
    EXPECT_EQ(err.rfind("error: libvesk: RectangleLoad(): ", 0), 0u) << err;
    Tree* tree = nullptr;
    err = StderrOf([&] { tree = LoadString("Tree at 0x1:\n" + text + "  no of boxes = 1\n" + Bytes({1, 0, 0, 0, 0})); });
    EXPECT_EQ(tree, nullptr) << dimLine;
    EXPECT_NE(err.find("error: libvesk: "), std::string::npos);
  }
  // 255 coordinates are fine.
  FILE* in = StreamOf("Rectangle at 0x10:\n  dim = 255\n  center = \n  radius = \n");
  Rectangle* rect = RectangleLoad(in);
  std::fclose(in);
  ASSERT_NE(rect, nullptr);
  EXPECT_EQ(rect->dim, 255);
  EXPECT_EQ(rect->radius[254], 0.0);
  RectangleFree(&rect);
}

TEST(RectangleSave, TextFormAndRoundTrip) {
  EXPECT_EQ(WrittenBy([](FILE* out) { RectangleSave(out, nullptr); }),
            "Rectangle at " + Pointer(nullptr) + ":\n");
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-1e6, 1e6);
  for (int dim : {1, 3, 255}) {
    std::vector<double> c(dim), r(dim);
    for (int i = 0; i < dim; ++i) {
      c[i] = u(rng);
      r[i] = std::abs(u(rng)) * 1e-9;
    }
    Rectangle* rect = RectangleNew(c.data(), r.data(), static_cast<uint8_t>(dim));
    const std::string text = WrittenBy([&](FILE* out) { RectangleSave(out, rect); });
    FILE* in = StreamOf(text + "tail");
    Rectangle* back = RectangleLoad(in);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(std::fgetc(in), 't');  // the block ends at its last line feed
    std::fclose(in);
    ASSERT_EQ(back->dim, dim);
    for (int i = 0; i < dim; ++i) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.15g", c[i]);
      EXPECT_EQ(back->center[i], std::strtod(buf, nullptr));
      std::snprintf(buf, sizeof buf, "%.15g", r[i]);
      EXPECT_EQ(back->radius[i], std::strtod(buf, nullptr));
    }
    RectangleFree(&back);
    RectangleFree(&rect);
  }
}

TEST(RectangleSave, NullArrayWarns) {
  const double one = 1.0;
  Rectangle* rect = RectangleNew(&one, &one, 1);
  double* center = rect->center;
  rect->center = nullptr;
  std::string text;
  const std::string err =
      StderrOf([&] { text = WrittenBy([&](FILE* out) { RectangleSave(out, rect); }); });
  EXPECT_EQ(err, "warning: libvesk: x=0.\n");
  EXPECT_EQ(text, "Rectangle at " + Pointer(rect) + ":\n  dim = 1\n  center =   radius = 1 \n");
  rect->center = center;
  RectangleFree(&rect);
}

TEST(RectangleLoad, MissingNumbersStayZero) {
  FILE* in = StreamOf("Rectangle at 0x10:\n  dim = 3\n  center = 1.5\n  radius = 2 4 8\n");
  Rectangle* rect = RectangleLoad(in);
  std::fclose(in);
  ASSERT_NE(rect, nullptr);
  EXPECT_EQ(rect->center[0], 1.5);
  EXPECT_EQ(rect->center[1], 0.0);
  EXPECT_EQ(rect->center[2], 0.0);
  RectangleFree(&rect);
}

TEST(BoxLoad, OneRecord) {
  FILE* in = StreamOf(Bytes({3, 4, 5, 0, 1, 6}));
  Box* a = BoxLoad(in);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->tag, 1);
  EXPECT_EQ(a->sd, 4);
  EXPECT_EQ(a->flags, 5);
  EXPECT_EQ(a->no, -1);
  EXPECT_EQ(a->child[0], nullptr);
  EXPECT_EQ(BoxLoad(in), nullptr);
  Box* b = BoxLoad(in);  // truncated: flags missing
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->sd, 6);
  EXPECT_EQ(b->flags, 0);
  EXPECT_EQ(BoxLoad(in), nullptr);
  std::fclose(in);
  BoxFree(&a);
  BoxFree(&b);
}

TEST(Iter, SharesBoxesAndSavesTheTree) {
  const double c[2] = {0, 0}, r[2] = {2, 2};
  Rectangle* domain = RectangleNew(c, r, 2);
  Iter* iter = IterNew(domain);
  RectangleFree(&domain);
  ASSERT_NE(iter->tree, nullptr);
  ASSERT_NE(iter->copy, nullptr);
  EXPECT_EQ(iter->tree->root, iter->copy->root);
  EXPECT_EQ(*iter->tree->refCount, 2);
  TreeSubdivideAll(iter->tree);
  iter->tree->root->child[1]->flags = 6;
  ASSERT_TRUE(TreeFirstBox(iter->copy, 1));
  ASSERT_TRUE(TreeNextBox(iter->copy, 1));
  EXPECT_EQ(iter->copy->box->flags, 6);
  EXPECT_EQ(WrittenBy([&](FILE* out) { IterSave(out, iter); }),
            WrittenBy([&](FILE* out) { TreeSave(out, iter->tree); }));
  EXPECT_EQ(WrittenBy([](FILE* out) { IterSave(out, nullptr); }), "");
  Tree* keep = iter->tree;
  iter->tree = nullptr;
  EXPECT_EQ(WrittenBy([&](FILE* out) { IterSave(out, iter); }),
            "Tree at " + Pointer(nullptr) + ":\n");
  iter->tree = keep;
  IterFree(&iter);
  EXPECT_EQ(iter, nullptr);
  IterFree(&iter);
}
