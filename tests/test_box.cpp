// Box nodes: creation, subdivision and its refusal, flag operations, the
// classification used by the walks, and release of deep subtrees.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "tests/tree_oracle.h"
#include "tree/box.h"

using namespace vesk;
using treetest::StderrOf;

namespace {

const char kNoLeaf[] = "warning: libvesk: BoxSubdivide(): box is no leaf.\n";

TEST(Box, NewBoxIsAnUnflaggedLeaf) {
  Box* b = BoxNew();
  EXPECT_EQ(b->sd, 0);
  EXPECT_EQ(b->flags, 0);
  EXPECT_EQ(b->tag, 1);
  EXPECT_EQ(b->no, -1);
  EXPECT_EQ(BoxNoOfChildren(b), 0);
  EXPECT_EQ(BoxDepth(b), -1);
  EXPECT_EQ(BoxGetFlags(b), 0);
  BoxFree(&b);
  EXPECT_EQ(b, nullptr);
  BoxFree(&b);  // a null link is left alone
  EXPECT_EQ(b, nullptr);
}

// Boxes freed and created again (the thread may hand the same blocks back)
// come back as fresh leaves, whatever the boxes freed had been.
TEST(Box, BoxesCreatedAfterFreeingAreFreshLeaves) {
  std::vector<Box*> made;
  for (int i = 0; i < 64; ++i) {
    Box* b = BoxNew();
    BoxSubdivide(b, 3);
    b->flags = 0xff;
    b->tag = 7;
    b->no = 12345;
    b->child[1]->flags = 5;
    b->child[0]->no = 9;
    made.push_back(b);
  }
  for (Box*& b : made) BoxFree(&b);
  for (int i = 0; i < 3 * 64; ++i) {
    Box* b = BoxNew();
    EXPECT_EQ(b->sd, 0);
    EXPECT_EQ(b->flags, 0);
    EXPECT_EQ(b->tag, 1);
    EXPECT_EQ(b->no, -1);
    EXPECT_EQ(b->child[0], nullptr);
    EXPECT_EQ(b->child[1], nullptr);
    made.push_back(b);
  }
  for (Box*& b : made) BoxFree(&b);
}

TEST(Box, SubdivideGivesTwoFreshChildrenAndRefusesNonLeaves) {
  Box* b = BoxNew();
  b->flags = 0x21;
  EXPECT_EQ(BoxSubdivide(b, 3), 1);
  EXPECT_EQ(b->sd, 3);
  EXPECT_EQ(b->flags, 0x21);
  EXPECT_EQ(BoxNoOfChildren(b), 2);
  for (Box* ch : b->child) {
    ASSERT_NE(ch, nullptr);
    EXPECT_EQ(ch->flags, 0);
    EXPECT_EQ(ch->tag, 1);
    EXPECT_EQ(ch->no, -1);
  }
  // A second subdivision is refused and keeps the first children.
  Box* lower = b->child[0];
  Box* upper = b->child[1];
  int result = -1;
  EXPECT_EQ(StderrOf([&] { result = BoxSubdivide(b, 1); }), kNoLeaf);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(b->sd, 3);
  EXPECT_EQ(b->child[0], lower);
  EXPECT_EQ(b->child[1], upper);

  // A box with only child 1 (as insertion builds it) is no leaf either.
  BoxFree(&b->child[0]);
  EXPECT_EQ(BoxNoOfChildren(b), 1);
  EXPECT_EQ(StderrOf([&] { result = BoxSubdivide(b, 0); }), kNoLeaf);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(b->child[0], nullptr);
  EXPECT_EQ(b->child[1], upper);
  EXPECT_EQ(b->sd, 3);

  // A null box is refused silently.
  EXPECT_EQ(StderrOf([&] { result = BoxSubdivide(nullptr, 0); }), "");
  EXPECT_EQ(result, 0);
  BoxFree(&b);
}

TEST(Box, UnsubdivideKeepsTheBoxFields) {
  Box* b = BoxNew();
  EXPECT_EQ(BoxUnsubdivide(b), 0);
  EXPECT_EQ(BoxUnsubdivide(nullptr), 0);
  BoxSubdivide(b, 2);
  BoxSubdivide(b->child[1], 0);
  b->flags = 7;
  b->no = 12;
  EXPECT_EQ(BoxUnsubdivide(b), 1);
  EXPECT_EQ(BoxNoOfChildren(b), 0);
  EXPECT_EQ(b->sd, 2);
  EXPECT_EQ(b->flags, 7);
  EXPECT_EQ(b->no, 12);
  // One child only.
  BoxSubdivide(b, 1);
  BoxFree(&b->child[1]);
  EXPECT_EQ(BoxUnsubdivide(b), 1);
  EXPECT_EQ(BoxNoOfChildren(b), 0);
  BoxFree(&b);
}

TEST(Box, FlagOperations) {
  Box* b = BoxNew();
  b->flags = 0x05;
  BoxChangeFlag(b, 0x02, 0x08);  // no bit of the mask: unchanged
  EXPECT_EQ(b->flags, 0x05);
  BoxChangeFlag(b, 0x06, 0x08);
  EXPECT_EQ(b->flags, 0x09);
  BoxChangeFlag(b, 0x01, 0x00);
  EXPECT_EQ(b->flags, 0x08);
  BoxUnsetFlag(b, 0xFF);
  EXPECT_EQ(b->flags, 0);
  const int wide = 0x1A2;  // only the low 8 bits count
  BoxSetFlag(b, static_cast<uint8_t>(wide));
  EXPECT_EQ(BoxGetFlags(b), 0xA2);
  BoxUnsetFlag(b, 0x22);
  EXPECT_EQ(b->flags, 0x80);
  // Null boxes are no-ops; only BoxGetFlags reports one.
  BoxSetFlag(nullptr, 1);
  BoxUnsetFlag(nullptr, 1);
  BoxChangeFlag(nullptr, 1, 1);
  int got = -1;
  EXPECT_EQ(StderrOf([&] { got = BoxGetFlags(nullptr); }),
            "error: libvesk: BoxGetFlags called with invalid argument.");
  EXPECT_EQ(got, 0);
  BoxFree(&b);
}

TEST(Box, DepthClassifiesByChildrenOnly) {
  EXPECT_EQ(BoxDepth(nullptr), 0);
  EXPECT_EQ(BoxNoOfChildren(nullptr), 0);
  Box* b = BoxNew();
  b->child[1] = BoxNew();  // only child is a leaf
  EXPECT_EQ(BoxDepth(b), -2);
  b->child[0] = BoxNew();  // two leaf children
  EXPECT_EQ(BoxDepth(b), -2);
  BoxSubdivide(b->child[1], 0);  // child 0 leaf, child 1 split
  EXPECT_EQ(BoxDepth(b), 0);
  BoxSubdivide(b->child[1]->child[0], 0);  // deeper structure is not looked at
  EXPECT_EQ(BoxDepth(b), 0);
  BoxFree(&b->child[1]);
  BoxSubdivide(b->child[0], 0);  // child 0 split, child 1 absent
  EXPECT_EQ(BoxDepth(b), 0);
  EXPECT_EQ(BoxDepth(b->child[0]), -2);
  BoxFree(&b);
}

// A chain of a million boxes, alternating the child side, is released
// without exhausting the machine stack; the sanitizer build checks that
// every box is freed once.
TEST(Box, FreeOfVeryDeepChain) {
  Box* root = BoxNew();
  Box* cur = root;
  for (int i = 0; i < 1000000; ++i) {
    cur->child[i % 2] = BoxNew();
    if (i % 7 == 0) cur->child[1 - i % 2] = BoxNew();  // some side leaves
    cur = cur->child[i % 2];
  }
  BoxFree(&root);
  EXPECT_EQ(root, nullptr);
}

// Boxes made and freed on several threads at once, each thread freeing
// boxes the others made, in numbers that run through the threads' own
// stacks and many slabs: no box may be handed out twice while it lives.
TEST(Box, ThreadsNeverShareALiveBox) {
  constexpr int kThreads = 4, kRounds = 6, kBoxes = 40000;
  std::vector<std::vector<Box*>> kept(kThreads), made(kThreads);
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        // Half of what the next thread made and kept, freed here.
        std::vector<Box*>& theirs = kept[(t + 1) % kThreads];
        for (size_t i = round % 2; i < theirs.size(); i += 2) BoxFree(&theirs[i]);
        for (int i = 0; i < kBoxes; ++i) {
          made[t].push_back(BoxNew());
          made[t].back()->no = t;
        }
      });
    for (std::thread& th : threads) th.join();
    std::vector<Box*> live;
    for (int t = 0; t < kThreads; ++t) {
      std::erase(kept[t], nullptr);
      kept[t].insert(kept[t].end(), made[t].begin(), made[t].end());
      made[t].clear();
      for (Box* b : kept[t]) {
        EXPECT_EQ(b->no, t);
        live.push_back(b);
      }
    }
    std::sort(live.begin(), live.end());
    ASSERT_EQ(std::adjacent_find(live.begin(), live.end()), live.end()) << "round " << round;
  }
  for (std::vector<Box*>& boxes : kept)
    for (Box*& b : boxes) BoxFree(&b);
}

}  // namespace
