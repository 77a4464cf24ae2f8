// UTF-8 validation against a reference built from the set of every valid
// encoding and all its prefixes.
#include "unicode/utf8.h"
#include "unicode/utf8_avx2.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_set>
#include <vector>

namespace selkbar {
namespace {

std::string encode(uint32_t cp) {
  std::string out;
  append_utf8(out, cp);
  return out;
}

// Every encoding of a Unicode scalar value, and every proper prefix of one.
struct Encodings {
  std::unordered_set<std::string> complete;
  std::unordered_set<std::string> prefixes;
  Encodings() {
    for (uint32_t cp = 0x80; cp <= 0x10FFFF; ++cp) {
      if (cp >= 0xD800 && cp <= 0xDFFF) continue;
      const std::string e = encode(cp);
      complete.insert(e);
      for (size_t n = 1; n < e.size(); ++n) prefixes.insert(e.substr(0, n));
    }
  }
};

const Encodings& encodings() {
  static const Encodings* table = new Encodings();
  return *table;
}

// The slow reference: at each non-ASCII byte take the longest run that is a
// prefix of some valid encoding; it is a character, an error of that length
// (at least 1), or, if the text ends inside it, an incomplete sequence.
std::optional<Utf8Error> reference(std::string_view text) {
  const Encodings& e = encodings();
  size_t i = 0;
  while (i < text.size()) {
    if (static_cast<uint8_t>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t n = 0;
    while (n < 4 && i + n < text.size()) {
      const std::string candidate(text.substr(i, n + 1));
      if (!e.prefixes.contains(candidate) && !e.complete.contains(candidate)) break;
      ++n;
    }
    if (n > 0 && e.complete.contains(std::string(text.substr(i, n)))) {
      i += n;
      continue;
    }
    if (n > 0 && i + n == text.size()) return Utf8Error{i, 0};
    return Utf8Error{i, static_cast<uint8_t>(n == 0 ? 1 : n)};
  }
  return std::nullopt;
}

std::string check(std::string_view text) {
  Utf8Error error{};
  if (validate_utf8(text, &error)) return "ok";
  return describe_utf8_error(error);
}

TEST(Utf8, DescribesErrorsLikeTheStandardDecoder) {
  EXPECT_EQ(check(""), "ok");
  EXPECT_EQ(check("plain ascii text that is longer than sixteen bytes"), "ok");
  EXPECT_EQ(check("caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"), "ok");
  EXPECT_EQ(check("ab\x80"), "invalid utf-8 sequence of 1 bytes from index 2");
  EXPECT_EQ(check("\xF0\x9F\x98" "A"), "invalid utf-8 sequence of 3 bytes from index 0");
  EXPECT_EQ(check("x\xF0\x9F\x98"), "incomplete utf-8 byte sequence from index 1");
  EXPECT_EQ(check("\xE6\x97" "A"), "invalid utf-8 sequence of 2 bytes from index 0");
  // Overlongs, surrogates, values past U+10FFFF and bytes that never occur.
  EXPECT_EQ(check("\xC0\xAF"), "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(check("\xE0\x80\xAF"), "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(check("\xED\xA0\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(check("\xF4\x90\x80\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(check("\xF5\x80\x80\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(check("\xFF"), "invalid utf-8 sequence of 1 bytes from index 0");
  // An invalid byte after the ASCII fast path has run over 16-byte blocks.
  EXPECT_EQ(check(std::string(1 << 20, 'a') + "\xFE"),
            "invalid utf-8 sequence of 1 bytes from index 1048576");
}

TEST(Utf8, AgreesWithTheReferenceOnRandomText) {
  std::mt19937_64 rng(7);
  // Pieces that stress every branch: ASCII runs, valid sequences of each
  // length and runs of them, lone leads and continuations, and bytes around
  // the boundaries.
  const std::vector<std::string> pieces = {
      "abcdefghijklmnopq", "a", " ", "\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x98\x80",
      "\xED\x9F\xBF", "\xEE\x80\x80", "\xF4\x8F\xBF\xBF", "\xE0\xA0\x80",
      "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\x82\xEF\xBC\x81",  // a run of five
      "\x80", "\xBF", "\xC2", "\xE0",
      "\xE0\xA0", "\xED", "\xF0", "\xF0\x90", "\xF4", "\xC1", "\xF5", "\xFF", "\x90", "\xA0"};
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    // Every other text is long enough for the 32-byte vector blocks.
    for (size_t n = rng() % (round % 2 == 0 ? 8 : 64); n > 0; --n) {
      text += pieces[rng() % pieces.size()];
    }
    if (rng() % 4 == 0) {
      for (size_t n = rng() % 6; n > 0; --n) text += static_cast<char>(rng() & 0xFF);
    }
    Utf8Error got{};
    const bool ok = validate_utf8(text, &got);
    const std::optional<Utf8Error> want = reference(text);
    ASSERT_EQ(ok, !want.has_value()) << "round " << round;
#ifdef SELKBAR_HAVE_UTF8_AVX2
    // A valid text refused by the vector scan would still be accepted, by
    // the portable one, only slower: catch that here.
    if (!want && cpu_has_avx2()) {
      ASSERT_NE(valid_utf8_prefix_avx2(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                UTF8_AVX2_REFUSED)
          << "round " << round;
    }
#endif
    if (want) {
      ASSERT_EQ(got.valid_up_to, want->valid_up_to) << "round " << round;
      ASSERT_EQ(got.error_length, want->error_length) << "round " << round;
    }
  }
}

// The vector scan checks each byte against the three before it, across
// block edges: one bad byte planted at every offset of a long valid text of
// every sequence length must be found where the portable scan finds it.
TEST(Utf8, FindsABadByteAtEveryOffsetOfALongText) {
  const std::string valid =
      "ab\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\xE6\x9C\xAC\xED\x9F\xBF\xEF\xBF\xBD"
      "\xF4\x8F\xBF\xBF\xD0\xB6 ";
  const uint8_t bad[] = {0x80, 0xBF, 0xC0, 0xC2, 0xE0, 0xED, 0xF0, 0xF4, 0xF5, 0xFF, 0x41};
  // Shifted so that the ASCII run starts at every offset of a block (a block
  // of ASCII after a sequence cut short is a case of its own).
  for (size_t shift = 0; shift < 32; ++shift) {
    std::string text(shift, 'x');
    text += valid + valid + valid + std::string(70, 'a') + valid + valid;
    for (size_t at = 0; at < text.size(); ++at) {
      for (const uint8_t byte : bad) {
        for (const size_t cut : {text.size(), at + 1}) {
          std::string planted = text.substr(0, cut);
          planted[at] = static_cast<char>(byte);
          Utf8Error got{};
          Utf8Error want{};
          const bool want_ok = validate_utf8_portable(planted, &want);
          ASSERT_EQ(validate_utf8(planted, &got), want_ok) << "offset " << at << " byte " << +byte;
          if (!want_ok) {
            ASSERT_EQ(got.valid_up_to, want.valid_up_to) << "offset " << at;
            ASSERT_EQ(got.error_length, want.error_length) << "offset " << at;
          }
        }
      }
    }
  }
}

TEST(Utf8, AcceptsEveryScalarValueAndRejectsEverySurrogate) {
  std::string all;
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      Utf8Error error{};
      ASSERT_FALSE(validate_utf8(encode(cp), &error));
      continue;
    }
    all += encode(cp);
  }
  Utf8Error error{};
  EXPECT_TRUE(validate_utf8(all, &error));
}

}  // namespace
}  // namespace selkbar

namespace selkbar {
namespace {

// The one decoder against the validator: on random bytes it never reads past
// the end, it reproduces every valid text exactly (decoded characters
// re-encode to the same bytes), and it turns every byte where a valid
// sequence cannot start into U+FFFD of length 1.
TEST(Utf8Decoder, AgreesWithTheValidatorOnRandomBytes) {
  std::mt19937 random(7);
  const uint8_t interesting[] = {0x00, 0x41, 0x7F, 0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0,
                                 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0xA0, 0x9F, 0x90, 0x8F};
  for (int round = 0; round < 20000; ++round) {
    const size_t length = random() % 9;
    std::vector<uint8_t> bytes(length);
    for (uint8_t& b : bytes) b = interesting[random() % sizeof interesting];
    const uint8_t* const begin = bytes.data();
    const uint8_t* const end = begin + bytes.size();
    std::string reencoded;
    bool saw_replacement = false;
    for (const uint8_t* p = begin; p < end;) {
      const DecodedChar c = decode_utf8(p, end);
      ASSERT_GE(c.length, 1u);
      ASSERT_LE(c.length, static_cast<size_t>(end - p));
      if (c.cp == REPLACEMENT_CHARACTER) {
        saw_replacement = true;
        ASSERT_EQ(c.length, 1u);
        Utf8Error error;
        const std::string_view rest(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p));
        ASSERT_FALSE(validate_utf8(rest, &error));
        ASSERT_EQ(error.valid_up_to, 0u);
      } else {
        append_utf8(reencoded, c.cp);
      }
      p += c.length;
    }
    Utf8Error error;
    const std::string_view text(reinterpret_cast<const char*>(begin), bytes.size());
    if (validate_utf8(text, &error)) {
      ASSERT_FALSE(saw_replacement);
      ASSERT_EQ(reencoded, text);
    }
  }
}

}  // namespace
}  // namespace selkbar
