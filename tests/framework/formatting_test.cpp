// SPDX-License-Identifier: MIT
// Number texts and bounded strings. Every check looks at the whole host buffer: the text, the
// zero fill up to maxLen, the NUL at maxLen and guard bytes after it that must stay untouched.
// The property test compares the digits with an exact decimal expansion cut (never rounded).
#include "recording.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/target.h"

namespace {

constexpr size_t kGuard = 8;
constexpr char kGuardByte = '\x5A';

enum class Op { Float, Db, Hz, Ms, Int };

const char* name(Op op) {
   switch (op) {
   case Op::Float:
      return "float2string";
   case Op::Db:
      return "dB2string";
   case Op::Hz:
      return "Hz2string";
   case Op::Ms:
      return "ms2string";
   case Op::Int:
      return "int2string";
   }
   return "";
}

// Runs one operation into a guarded buffer; returns the written bytes 0..maxLen as a string
// and fails the test if a byte after maxLen changed. A negative maxLen must write nothing.
std::string format(AudioEffect& fx, Op op, float value, int32_t i, int32_t maxLen) {
   const size_t used = maxLen < 0 ? 0 : size_t(maxLen) + 1;
   std::vector<char> buf(used + kGuard, kGuardByte);
   char* text = buf.data();
   switch (op) {
   case Op::Float:
      fx.float2string(value, text, maxLen);
      break;
   case Op::Db:
      fx.dB2string(value, text, maxLen);
      break;
   case Op::Hz:
      fx.Hz2string(value, text, maxLen);
      break;
   case Op::Ms:
      fx.ms2string(value, text, maxLen);
      break;
   case Op::Int:
      fx.int2string(i, text, maxLen);
      break;
   }
   for (size_t k = used; k < buf.size(); ++k) {
      if (buf[k] != kGuardByte) {
         ADD_FAILURE() << name(op) << " wrote byte " << k << " with maxLen " << maxLen;
         break;
      }
   }
   return std::string(buf.data(), used);
}

// What a buffer of maxLen + 1 bytes must hold for a text: the text cut at maxLen, then zeros.
std::string filled(const std::string& text, int32_t maxLen) {
   if (maxLen < 0) return "";
   std::string s = text.substr(0, size_t(maxLen));
   s.resize(size_t(maxLen) + 1, '\0');
   return s;
}

struct Case {
   Op op;
   float value;
   int32_t i;
   int32_t maxLen;
   const char* text;
   float sampleRate;
};

const Case kCases[] = {
    {Op::Float, 0.0f, 0, 8, "0.000000", 44100},
    {Op::Float, -0.0f, 0, 8, "0.000000", 44100},
    {Op::Float, 1.0f, 0, 8, "1.000000", 44100},
    {Op::Float, 1.5f, 0, 8, "1.500000", 44100},
    {Op::Float, -1.5f, 0, 8, "-1.50000", 44100},
    {Op::Float, -0.5f, 0, 8, "-0.50000", 44100},
    {Op::Float, 0.7f, 0, 8, "0.699999", 44100},
    {Op::Float, 9.99f, 0, 8, "9.989999", 44100},
    {Op::Float, 123.0f, 0, 8, "123.0000", 44100},
    {Op::Float, 999999.5f, 0, 8, "999999.5", 44100},
    {Op::Float, 1234567.0f, 0, 8, "1234567.", 44100},
    {Op::Float, -123456.0f, 0, 8, "-123456.", 44100},
    {Op::Float, 0.0000015f, 0, 8, "0.000001", 44100},
    {Op::Float, 0.0000001f, 0, 8, "0.000000", 44100},
    {Op::Float, -1e-10f, 0, 8, "-0.00000", 44100},
    {Op::Float, 100000000.0f, 0, 8, "Huge!", 44100},
    {Op::Float, -10000000.0f, 0, 8, "Huge!", 44100},
    {Op::Float, INFINITY, 0, 8, "Huge!", 44100},
    {Op::Float, -INFINITY, 0, 8, "Huge!", 44100},
    {Op::Float, NAN, 0, 8, "0.000000", 44100},
    {Op::Float, -NAN, 0, 8, "0.000000", 44100},
    {Op::Float, 1.5f, 0, 4, "1.50", 44100},
    {Op::Float, 1.5f, 0, 0, "", 44100},
    {Op::Float, 1.5f, 0, -1, "", 44100},
    // Eight integer digits (seven after a minus) fill the budget: exact digits, no point.
    {Op::Float, 12345678.0f, 0, 8, "12345678", 44100},
    {Op::Float, 10000000.0f, 0, 8, "10000000", 44100},
    {Op::Float, 99999992.0f, 0, 8, "99999992", 44100},
    {Op::Float, -1234567.0f, 0, 8, "-1234567", 44100},
    {Op::Float, -1000000.0f, 0, 8, "-1000000", 44100},
    {Op::Float, -9999999.0f, 0, 8, "-9999999", 44100},
    {Op::Db, 1.0f, 0, 8, "0.000000", 44100},
    {Op::Db, 10.0f, 0, 8, "20.00000", 44100},
    {Op::Db, 100.0f, 0, 8, "40.00000", 44100},
    {Op::Db, 0.0f, 0, 8, "-oo", 44100},
    {Op::Db, -0.0f, 0, 8, "-oo", 44100},
    {Op::Db, -1.0f, 0, 8, "-oo", 44100},
    {Op::Db, -1.0f, 0, 2, "-o", 44100},
    {Op::Db, NAN, 0, 8, "0.000000", 44100},
    {Op::Db, INFINITY, 0, 8, "Huge!", 44100},
    {Op::Db, 1.0f, 0, -1, "", 44100},
    {Op::Db, -1.0f, 0, -1, "", 44100},
    {Op::Hz, 0.0f, 0, -1, "", 44100},
    {Op::Ms, 1.0f, 0, -1, "", 44100},
    {Op::Hz, 100.0f, 0, 8, "441.0000", 44100},
    {Op::Hz, 0.0f, 0, 8, "0.000000", 44100},
    {Op::Hz, -0.0f, 0, 8, "0.000000", 44100},
    {Op::Hz, 5.0f, 0, 8, "0.000000", 0},
    {Op::Hz, 1e-45f, 0, 8, "Huge!", 44100},
    {Op::Ms, 441.0f, 0, 8, "10.00000", 44100},
    {Op::Ms, 44100.0f, 0, 8, "1000.000", 44100},
    {Op::Ms, 5.0f, 0, 8, "Huge!", 0},
    {Op::Ms, 0.0f, 0, 8, "0.000000", 0},
    {Op::Ms, 3e38f, 0, 8, "Huge!", 1e-30f}, // the quotient is beyond the float range
    {Op::Ms, -3e38f, 0, 8, "Huge!", 1e-30f},
    {Op::Int, 0, 7, 8, "7", 44100},
    {Op::Int, 0, 12345, 8, "12345", 44100},
    {Op::Int, 0, -123, 8, "-123", 44100},
    {Op::Int, 0, 99999999, 8, "99999999", 44100},
    {Op::Int, 0, 100000000, 8, "Huge!", 44100},
    {Op::Int, 0, INT32_MAX, 8, "Huge!", 44100},
    {Op::Int, 0, -123456789, 8, "-1234567", 44100},
    {Op::Int, 0, -123456789, 10, "-123456789", 44100},
    {Op::Int, 0, 12345, 3, "123", 44100},
    {Op::Int, 0, 0, 8, "0", 44100},
    {Op::Int, 0, -5, 0, "", 44100},
    {Op::Int, 0, -5, -1, "", 44100},
    {Op::Int, 0, -999999999, 10, "-999999999", 44100},
    {Op::Int, 0, -1000000000, 11, "-1000000000", 44100},
    {Op::Int, 0, INT32_MIN, 11, "-2147483648", 44100},
    {Op::Int, 0, INT32_MIN, 8, "-2147483", 44100},
};

TEST(Formatting, DocumentedValues) {
   for (const Case& c : kCases) {
      SCOPED_TRACE(::testing::Message()
                   << name(c.op) << "(" << c.value << ", " << c.i << ") maxLen " << c.maxLen);
      PlainEffect fx;
      fx.setSampleRate(c.sampleRate);
      EXPECT_EQ(format(fx, c.op, c.value, c.i, c.maxLen), filled(c.text, c.maxLen));
   }
}

TEST(Formatting, FloatTextsGoThroughAnOverriddenFloat2string) {
   struct Fixed : PlainEffect {
      void float2string(float, char* text, int32_t maxLen) override {
         vst_strncpy(text, "own", size_t(maxLen));
      }
   } fx;
   for (Op op : {Op::Db, Op::Hz, Op::Ms})
      EXPECT_EQ(format(fx, op, 2.0f, 0, 5), filled("own", 5));
}

// A buffer for maxLen characters holding initial, followed by guard bytes.
std::string guarded(const char* initial, size_t maxLen) {
   std::string s(maxLen + 1 + kGuard, kGuardByte);
   std::memcpy(s.data(), initial, std::strlen(initial) + 1);
   return s;
}

TEST(BoundedStrings, CopyWritesExactlyMaxLenPlusOneBytes) {
   std::string buf = guarded("zzzzzzzzzzzz", 12);
   vst_strncpy(buf.data(), "Default", 3);
   EXPECT_EQ(buf.substr(0, 13), std::string("Def\0zzzzzzzz\0", 13));
   buf = guarded("zzzzzzzzzzzz", 12);
   vst_strncpy(buf.data(), "Default", 10);
   EXPECT_EQ(buf.substr(0, 13), std::string("Default\0\0\0\0z\0", 13));
   EXPECT_EQ(buf.substr(13), std::string(kGuard, kGuardByte));
}

TEST(BoundedStrings, ConcatenationCutsAtMaxLenAndLeavesTheBytesBehindTheText) {
   std::string buf = guarded("ab", 3);
   vst_strncat(buf.data(), "cd", 3);
   EXPECT_EQ(buf, std::string("abc\0", 4) + std::string(kGuard, kGuardByte));

   vst_strncat(buf.data(), "x", 3);
   EXPECT_EQ(buf, std::string("abc\0", 4) + std::string(kGuard, kGuardByte));

   buf = std::string("ab\0XYZW", 7) + std::string(kGuard, kGuardByte);
   vst_strncat(buf.data(), "c", 6);
   EXPECT_EQ(buf, std::string("abc\0YZ\0", 7) + std::string(kGuard, kGuardByte));
}

// The expected text, from the exact decimal expansion of the float as glibc prints it
// (exact for any binary value): digits are cut, never rounded, and the sign, integer digits,
// point and fraction together fill 8 characters.
std::string expectedFloatText(float value) {
   double v = std::isnan(value) ? 0.0 : double(value);
   const bool negative = v < 0.0;
   v = std::fabs(v);
   if (v > (negative ? 9999999.0 : 99999999.0)) return "Huge!";
   // 60 places: a float's distance to the next multiple of 1e-6 is far above 1e-50, so the
   // rounding in the last printed place never reaches the digits kept.
   char exact[128];
   std::snprintf(exact, sizeof exact, "%.60f", v);
   const std::string digits(exact);
   const size_t point = digits.find('.');
   std::string text(negative ? 1 : 0, '-');
   text.append(digits, 0, point);
   if (text.size() >= 8) return text;
   text += '.';
   text.append(digits, point + 1, 8 - text.size());
   return text;
}

std::string expectedIntText(int32_t value) {
   return value >= 100000000 ? "Huge!" : std::to_string(value);
}

float floatFromBits(uint32_t bits) {
   float f;
   std::memcpy(&f, &bits, sizeof f);
   return f;
}

#if defined(TRIMWISE_SANITIZED_ALLOCATOR)
constexpr int kIterations = 100000 / kIterationDivisor;
#else
constexpr int kIterations = 600000 / kIterationDivisor;
#endif

TEST(FormattingProperty, RandomValuesStayInTheBufferAndShowExactDigits) {
   PlainEffect fx; // sample rate 44100
   std::mt19937 rng(20240607);
   const float specials[] = {0.0f,      -0.0f,      NAN,         -NAN,         INFINITY,
                             -INFINITY, 1e-45f,     -1e-45f,     1.17549e-38f, 99999992.0f,
                             1e8f,      9999999.0f, -9999999.0f, -10000000.0f, 0.1f};
   const int32_t specialInts[] = {0,        1,         -1,         INT32_MIN,  INT32_MAX,
                                  99999999, 100000000, -999999999, -1000000000};
   int failures = 0;
   for (int n = 0; n < kIterations && failures < 10; ++n) {
      const int32_t maxLen = int32_t(n % 13);
      const uint32_t bits = rng();
      // Random bit patterns cover every exponent, NaNs and denormals; every other draw is a
      // float of ordinary size, where the digits are most varied.
      float x =
          (n % 2 == 0) ? floatFromBits(bits) : float(int32_t(bits)) / float(1u << (bits % 31));
      int32_t i = int32_t(rng());
      if (n < 15 * 13) x = specials[n % 15];
      if (n % 7 == 0) i = i % 200000000;
      if (n < 9 * 13) i = specialInts[n % 9];

      const std::string expected[] = {
          expectedFloatText(x),
          x <= 0.0f ? "-oo" : expectedFloatText(float(20.0 * double(std::log10(x)))),
          x == 0.0f ? expectedFloatText(0.0f) : expectedFloatText(44100.0f / x),
          expectedFloatText(float(double(x) * 1000.0 / 44100.0)),
          expectedIntText(i),
      };
      for (Op op : {Op::Float, Op::Db, Op::Hz, Op::Ms, Op::Int}) {
         const std::string got = format(fx, op, x, i, maxLen);
         const std::string want = filled(expected[int(op)], maxLen);
         if (got != want) {
            ++failures;
            ADD_FAILURE() << name(op) << "(" << (op == Op::Int ? double(i) : double(x))
                          << ") maxLen " << maxLen << ": got \"" << got.c_str() << "\", want \""
                          << want.c_str() << "\"";
         }
      }
   }
}

} // namespace
