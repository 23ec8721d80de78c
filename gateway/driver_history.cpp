// The history of a verification run: every box the lifted tree held, as a
// tree of its own whose leaves are the discarded boxes and those held at
// the end.
#include <cstdint>
#include <cstring>
#include <vector>

#include "gateway/driver.h"

namespace vesk {

struct VerifyHistory {
  // Box k has its children at child[k] and child[k] + 1, or none when
  // child[k] is 0 (the root, box 0, is nobody's child).
  std::vector<uint32_t> child;
  // A leaf: held by the lifted tree now. Any other box: some box below it
  // is held now.
  std::vector<uint8_t> held;
  std::vector<uint8_t> sd;  // the lifted split table
  int dim = 0;
  bool full = false;        // could not grow further
};

namespace {

constexpr uint64_t kMaxBoxes = UINT32_MAX - 1;

// Gives box k two children, both held as `held0` and `held1` say.
bool Split(VerifyHistory* h, uint32_t k, uint8_t held0, uint8_t held1) {
  const uint64_t first = h->child.size();
  if (first + 2 > kMaxBoxes) {
    h->full = true;
    return false;
  }
  h->child[k] = static_cast<uint32_t>(first);
  h->child.push_back(0);
  h->child.push_back(0);
  h->held.push_back(held0);
  h->held.push_back(held1);
  return true;
}

// Brings the boxes held below box k up to date with the lifted box at the
// same place (null when the lifted tree has none there). Recursion as deep
// as the tree, which the analyses keep below 256 levels.
bool Update(VerifyHistory* h, uint32_t k, const Box* box, int subdivided) {
  if (h->child[k] == 0) {
    if (!subdivided) {
      h->held[k] = box != nullptr;
      return true;
    }
    // The pass bisected this leaf; the lifted tree keeps the halves that
    // survived its analyses (and the boxes above them).
    const uint8_t h0 = box && box->child[0] ? 1 : 0;
    const uint8_t h1 = box && box->child[1] ? 1 : 0;
    if (!Split(h, k, h0, h1)) return false;
    h->held[k] = h0 | h1;
    return true;
  }
  uint8_t any = 0;
  for (int i = 0; i < 2; ++i) {
    const uint32_t c = h->child[k] + i;  // the vector may grow below
    if (!h->held[c]) continue;
    if (!Update(h, c, box ? box->child[i] : nullptr, subdivided)) return false;
    any |= h->held[c];
  }
  h->held[k] = any;
  return true;
}

// Appends one bit to a stream of bytes, most significant bit first.
struct Bits {
  uint8_t* out;
  int64_t count = 0;
  void Put(bool bit) {
    if (out && bit) out[count >> 3] |= static_cast<uint8_t>(0x80u >> (count & 7));
    ++count;
  }
};

// A tree given as first-child indices (0: leaf) and per-leaf ends, written
// in pre-order.
void Encode(const std::vector<uint32_t>& child, const std::vector<uint8_t>& end,
            VerifyHistoryCounts* counts, uint8_t* shape, uint8_t* ends) {
  Bits s{shape}, e{ends};
  int64_t final = 0;
  int height = 0;
  struct Item {
    uint32_t box;
    int depth;
  };
  std::vector<Item> stack{{0, 0}};
  while (!stack.empty()) {
    const Item item = stack.back();
    stack.pop_back();
    if (item.depth > height) height = item.depth;
    const uint32_t c = child[item.box];
    s.Put(c != 0);
    if (c == 0) {
      e.Put(end[item.box] != 0);
      final += end[item.box] != 0;
      continue;
    }
    stack.push_back({c + 1, item.depth + 1});
    stack.push_back({c, item.depth + 1});
  }
  counts->nodes = s.count;
  counts->leaves = e.count;
  counts->final = final;
  counts->height = height;
}

// The projection onto the state coordinates (0..n-1): box k of the lifted
// history at `depth` lies over state box `s`.
void Project(const VerifyHistory* h, uint32_t k, int depth, uint32_t s, int n,
             std::vector<uint32_t>* child, std::vector<uint8_t>* end) {
  const uint32_t c = h->child[k];
  if (c == 0) {
    if (h->held[k]) (*end)[s] = 1;
    return;
  }
  if (h->sd[depth] < n) {
    if ((*child)[s] == 0) {
      (*child)[s] = static_cast<uint32_t>(child->size());
      child->push_back(0);
      child->push_back(0);
      end->push_back(0);
      end->push_back(0);
    }
    const uint32_t sc = (*child)[s];
    Project(h, c, depth + 1, sc, n, child, end);
    Project(h, c + 1, depth + 1, sc + 1, n, child, end);
  } else {
    Project(h, c, depth + 1, s, n, child, end);
    Project(h, c + 1, depth + 1, s, n, child, end);
  }
}

}  // namespace

VerifyHistory* VerifyHistoryNew(const Tree* lifted) {
  if (!lifted || !lifted->domain || lifted->domain->dim != 4 || !lifted->root) return nullptr;
  VerifyHistory* h = new VerifyHistory;
  h->dim = lifted->domain->dim;
  const size_t table = static_cast<size_t>(TreeMaxDepth(lifted)) + 1;
  h->sd.assign(lifted->sd, lifted->sd + table);
  h->child.push_back(0);
  h->held.push_back(1);
  struct Item {
    const Box* box;
    uint32_t k;
  };
  std::vector<Item> stack{{lifted->root, 0}};
  while (!stack.empty()) {
    const Item item = stack.back();
    stack.pop_back();
    const Box* b = item.box;
    if (!b->child[0] && !b->child[1]) continue;
    if (!b->child[0] || !b->child[1] || !Split(h, item.k, 1, 1)) {
      delete h;
      return nullptr;
    }
    const uint32_t c = h->child[item.k];
    stack.push_back({b->child[1], c + 1});
    stack.push_back({b->child[0], c});
  }
  return h;
}

void VerifyHistoryFree(VerifyHistory** link) {
  if (!link || !*link) return;
  delete *link;
  *link = nullptr;
}

int VerifyHistoryPass(VerifyHistory* history, const Tree* lifted, int subdivided, int empty) {
  if (!history || history->full) return 0;
  if (!history->held[0]) return 1;  // nothing held any more
  const Box* root = empty || !lifted ? nullptr : lifted->root;
  return Update(history, 0, root, subdivided) ? 1 : 0;
}

int VerifyHistoryTree(const VerifyHistory* history, int state, VerifyHistoryCounts* counts,
                      uint8_t* shape, uint8_t* ends) {
  if (!history || history->full || !counts) return 0;
  if (!state) {
    if (shape) std::memset(shape, 0, (history->child.size() + 7) / 8);
    // The leaves are fewer than the boxes; the count comes from the walk.
    Encode(history->child, history->held, counts, nullptr, nullptr);
    if (ends) std::memset(ends, 0, static_cast<size_t>((counts->leaves + 7) / 8));
    if (shape || ends) Encode(history->child, history->held, counts, shape, ends);
    return 1;
  }
  std::vector<uint32_t> child{0};
  std::vector<uint8_t> end{0};
  Project(history, 0, 0, 0, history->dim / 2, &child, &end);
  if (shape) std::memset(shape, 0, (child.size() + 7) / 8);
  Encode(child, end, counts, nullptr, nullptr);
  if (ends) std::memset(ends, 0, static_cast<size_t>((counts->leaves + 7) / 8));
  if (shape || ends) Encode(child, end, counts, shape, ends);
  return 1;
}

int VerifyHistorySplit(const VerifyHistory* history, int depth) {
  if (!history || depth < 0 || static_cast<size_t>(depth) >= history->sd.size()) return -1;
  return history->sd[depth];
}

}  // namespace vesk
