// Fuzz target for the splitters.
//
// Any bytes: no splitter may read outside its input (the sanitizers watch),
// emit an empty pretoken or go backwards; the pretokens of the byte-level
// family (GPT-2's rule, gpt4, o200k) concatenate back to the input and never
// run past a newline.
// Valid UTF-8 in addition: the whitespace pretokens are exactly the maximal
// runs of non-White_Space characters of a plain decode-and-compare split, and
// the byte-level family's cutters, which take ASCII 64 bytes at a time, cut
// as their character-by-character cutters do (by lines and whole).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "naive_trainer.h"
#include "pretokenize/bytelevel.h"
#include "fuzz_check.h"
#include "pretokenize/tiktoken_split.h"
#include "pretokenize/split.h"
#include "unicode/utf8.h"

namespace {

bool is_white_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// The whitespace split by definition, on decoded code points.
std::vector<std::string> reference_whitespace_split(const std::string& text) {
  std::vector<std::string> pretokens;
  std::string current;
  for (uint32_t cp : selkbar::testing::decode_utf8(text)) {
    if (is_white_space(cp)) {
      if (!current.empty()) pretokens.push_back(std::move(current));
      current.clear();
    } else {
      current += selkbar::testing::encode_utf8(cp);
    }
  }
  if (!current.empty()) pretokens.push_back(std::move(current));
  return pretokens;
}

// Checks that every pretoken is a non-empty view into `text` starting at or
// after the end of the previous one; returns the views.
template <typename Split>
std::vector<std::string_view> collect(std::string_view text, Split split) {
  std::vector<std::string_view> pretokens;
  const char* last_end = text.data();
  split(text, [&](std::string_view pretoken) {
    FUZZ_CHECK(!pretoken.empty());
    FUZZ_CHECK(pretoken.data() >= last_end);
    FUZZ_CHECK(pretoken.data() + pretoken.size() <= text.data() + text.size());
    last_end = pretoken.data() + pretoken.size();
    pretokens.push_back(pretoken);
  });
  return pretokens;
}

// The pretokens of a line cutter, by lines or over the whole text.
template <typename Classifier>
std::vector<std::string_view> cut_all(std::string_view text,
                                      size_t (*cut)(const char*, const char*, const char**,
                                                    Classifier*),
                                      bool by_lines) {
  std::vector<std::string_view> pretokens;
  auto sink = [&](std::string_view pretoken) { pretokens.push_back(pretoken); };
  Classifier classifier;
  auto unit = [&](const char* begin, const char* end) {
    selkbar::cut_unit<128>(begin, end, cut, &classifier, sink);
  };
  if (by_lines) {
    selkbar::for_each_line(text, unit);
  } else if (!text.empty()) {
    unit(text.data(), text.data() + text.size());
  }
  return pretokens;
}

template <typename Classifier>
void check_same_cuts(std::string_view text,
                     size_t (*cut)(const char*, const char*, const char**, Classifier*),
                     size_t (*by_chars)(const char*, const char*, const char**, Classifier*)) {
  for (const bool by_lines : {true, false}) {
    FUZZ_CHECK(cut_all(text, cut, by_lines) == cut_all(text, by_chars, by_lines));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy in a buffer of exactly the input's size, so reading past the end
  // is caught.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string_view view(text);
  selkbar::Utf8Error error;
  const bool valid = selkbar::validate_utf8(view, &error);
  // The vector scan (on CPUs that have it) against the portable one.
  selkbar::Utf8Error portable_error;
  FUZZ_CHECK(selkbar::validate_utf8_portable(view, &portable_error) == valid);
  FUZZ_CHECK(valid || (portable_error.valid_up_to == error.valid_up_to &&
                       portable_error.error_length == error.error_length));

  auto check_line_split = [&](const std::vector<std::string_view>& pretokens) {
    std::string joined;
    for (std::string_view pretoken : pretokens) {
      FUZZ_CHECK(pretoken.data() == view.data() + joined.size());  // adjacent: nothing dropped
      const size_t newline = pretoken.find('\n');
      FUZZ_CHECK(newline == std::string_view::npos || newline + 1 == pretoken.size());
      joined += pretoken;
    }
    FUZZ_CHECK(joined == text);
  };
  check_line_split(collect(view, [](std::string_view t, auto&& sink) {
    selkbar::split_bytelevel(t, sink);
  }));
  check_line_split(collect(view, [](std::string_view t, auto&& sink) {
    selkbar::split_gpt4(t, sink);
  }));
  check_line_split(collect(view, [](std::string_view t, auto&& sink) {
    selkbar::split_o200k(t, sink);
  }));

  const auto whitespace = collect(view, [](std::string_view t, auto&& sink) {
    selkbar::split_whitespace(t, sink);
  });
  if (valid) {
    for (std::string_view pretoken : whitespace) {
      for (uint32_t cp : selkbar::testing::decode_utf8(std::string(pretoken))) {
        FUZZ_CHECK(!is_white_space(cp));
      }
    }
    const std::vector<std::string> want = reference_whitespace_split(text);
    FUZZ_CHECK(whitespace.size() == want.size());
    for (size_t i = 0; i < want.size(); ++i) FUZZ_CHECK(whitespace[i] == want[i]);
    namespace bytelevel = selkbar::bytelevel_internal;
    namespace modern = selkbar::tiktoken_split_internal;
    check_same_cuts(view, bytelevel::cut_line, bytelevel::cut_line_by_chars);
    check_same_cuts(view, modern::cut_line_gpt4, modern::cut_line_gpt4_by_chars);
    check_same_cuts(view, modern::cut_line_o200k, modern::cut_line_o200k_by_chars);
  }
  return 0;
}
