// Vectors, their text form, and the growable hit list.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "io/sparse_vector.h"
#include "io/vec.h"
#include "random_tree.h"

using namespace vesk;
using iotest::StderrOf;
using iotest::StreamOf;
using iotest::WrittenBy;

TEST(VecPrint, TextForm) {
  const double x[3] = {1, 0.5, -2e-20};
  EXPECT_EQ(WrittenBy([&](FILE* out) { VecPrint(out, x, 3); }), "1 0.5 -2e-20 \n");
  EXPECT_EQ(WrittenBy([&](FILE* out) { VecPrint(out, x, 0); }), "\n");
  EXPECT_EQ(WrittenBy([&](FILE* out) { VecPrint(out, x, -4); }), "\n");
  // Fifteen significant digits, no more.
  const double third = 1.0 / 3.0;
  EXPECT_EQ(WrittenBy([&](FILE* out) { VecPrint(out, &third, 1); }), "0.333333333333333 \n");
}

TEST(VecPrint, NullVectorWarnsAndWritesNothing) {
  std::string written;
  const std::string err = StderrOf([&] {
    written = WrittenBy([](FILE* out) { VecPrint(out, nullptr, 3); });
  });
  EXPECT_EQ(err, "warning: libvesk: x=0.\n");
  EXPECT_EQ(written, "");
}

TEST(VecRead, ReadsAndStopsAtNextWord) {
  FILE* in = StreamOf("1.5 -2 3e300\n\n  \t0.25 next");
  double* x = VecRead(in, 3);
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x[0], 1.5);
  EXPECT_EQ(x[1], -2.0);
  EXPECT_EQ(x[2], 3e300);
  std::free(x);
  // The blank run after the vector is consumed up to the next number.
  double* y = VecRead(in, 1);
  EXPECT_EQ(y[0], 0.25);
  std::free(y);
  EXPECT_EQ(std::fgetc(in), 'n');
  std::fclose(in);
}

TEST(VecRead, MissingAndMalformedNumbersStayZero) {
  FILE* in = StreamOf("7 8");
  double* x = VecRead(in, 3);
  EXPECT_EQ(x[0], 7.0);
  EXPECT_EQ(x[1], 8.0);
  EXPECT_EQ(x[2], 0.0);
  std::free(x);
  std::fclose(in);

  in = StreamOf("radius 4");
  x = VecRead(in, 2);
  EXPECT_EQ(x[0], 0.0);
  EXPECT_EQ(x[1], 0.0);
  std::free(x);
  std::fclose(in);
}

TEST(VecRead, NoElementsSkipsBlanksOnly) {
  FILE* in = StreamOf("   \n 5");
  EXPECT_EQ(VecRead(in, 0), nullptr);
  EXPECT_EQ(std::fgetc(in), '5');
  std::fclose(in);
}

TEST(VecRead, RoundTripKeepsFifteenDigits) {
  // Values with at most 15 significant digits come back exactly; 1/3 does
  // not, which is the documented cost of the text form.
  const double x[5] = {0.1, -123456789012345.0, 6.25e-300, 1.0 / 3.0, 0.0};
  const std::string text = WrittenBy([&](FILE* out) { VecPrint(out, x, 5); });
  FILE* in = StreamOf(text);
  double* y = VecRead(in, 5);
  EXPECT_EQ(y[0], x[0]);
  EXPECT_EQ(y[1], x[1]);
  EXPECT_EQ(y[2], x[2]);
  EXPECT_NE(y[3], x[3]);
  EXPECT_NEAR(y[3], x[3], 1e-15);
  EXPECT_EQ(y[4], 0.0);
  EXPECT_FALSE(std::signbit(y[4]));
  std::free(y);
  std::fclose(in);
}

TEST(VecCopy, FrontToBackOnOverlap) {
  double a[5] = {1, 2, 3, 4, 5};
  VecCopy(a, a + 1, 3);  // y one past x: x[0] spreads forward
  EXPECT_EQ(a[0], 1);
  EXPECT_EQ(a[1], 1);
  EXPECT_EQ(a[2], 1);
  EXPECT_EQ(a[3], 1);
  EXPECT_EQ(a[4], 5);

  double b[5] = {1, 2, 3, 4, 5};
  VecCopy(b + 1, b, 4);  // y before x: a plain shift
  EXPECT_EQ(b[0], 2);
  EXPECT_EQ(b[3], 5);
  EXPECT_EQ(b[4], 5);

  double c[2] = {9, 9};
  VecCopy(a, c, 0);
  VecCopy(a, c, -1);
  EXPECT_EQ(c[0], 9);
}

TEST(SparseVector, GrowsByDoublingAndKeepsEntries) {
  SparseVector* v = SparseVectorNew(40, 16);
  EXPECT_EQ(v->dim, 40);
  EXPECT_EQ(v->count, 0);
  EXPECT_EQ(v->capacity, 16);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(v->index[i], 0);
    EXPECT_EQ(v->value[i], 0.0);
  }
  for (int i = 0; i < 16; ++i) SparseVectorAddEntry(v, 3 * i, i + 0.5);
  EXPECT_EQ(v->capacity, 16);
  SparseVectorAddEntry(v, 7, -1.0);
  EXPECT_EQ(v->capacity, 32);
  SparseVectorAddEntry(v, 7, -2.0);  // repeated indices are kept, unsorted
  ASSERT_EQ(v->count, 18);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(v->index[i], 3 * i);
    EXPECT_EQ(v->value[i], i + 0.5);
  }
  EXPECT_EQ(v->index[16], 7);
  EXPECT_EQ(v->value[17], -2.0);
  SparseVectorFree(&v);
  EXPECT_EQ(v, nullptr);
  SparseVectorFree(&v);
  EXPECT_EQ(v, nullptr);
  SparseVectorFree(nullptr);
}

TEST(SparseVector, CapacityBelowOneStillGrows) {
  for (int cap : {0, -5}) {
    SparseVector* v = SparseVectorNew(1, cap);
    EXPECT_GE(v->capacity, 1);
    for (int i = 0; i < 100; ++i) SparseVectorAddEntry(v, i, 1.0);
    ASSERT_EQ(v->count, 100);
    EXPECT_GE(v->capacity, 100);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(v->index[i], i);
    SparseVectorFree(&v);
  }
  // A list whose capacity was zeroed by hand grows as well.
  SparseVector* v = SparseVectorNew(1, 4);
  v->capacity = 0;
  SparseVectorAddEntry(v, 42, 1.0);
  EXPECT_EQ(v->count, 1);
  EXPECT_EQ(v->index[0], 42);
  SparseVectorFree(&v);
}
