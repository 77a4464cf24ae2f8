// TextEncoder: a text encoded pretoken by pretoken gives as many tokens as
// evaluation counts from the text's counted words (so the two paths agree),
// and added tokens are cut out of the raw text leftmost-longest. The ids
// themselves were compared with the library's encode on the fixtures with
// tools/encode_parity.
#include "encoding/text_encoder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "corpora.h"
#include "counting/pipeline.h"
#include "encoding/evaluate.h"
#include "training/trainer.h"

namespace selkbar {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream whole;
  whole << in.rdbuf();
  return whole.str();
}

TEST(TextEncoderTest, TokensOfTheTextEqualTokensOfItsCountedWords) {
  const std::string train = testing::fixtures_dir() + "/en-dialogue.txt";
  for (PretokenizerKind kind : {PretokenizerKind::ByteLevel, PretokenizerKind::Gpt4,
                                PretokenizerKind::O200k, PretokenizerKind::Whitespace}) {
    CountResult counted = count_words({train}, 1, kind);
    ASSERT_TRUE(counted.status.ok());
    TrainConfig config;
    config.vocab_size = 2000;
    config.pretokenizer = kind;
    const TrainResult trained = train_from_words(std::move(counted.words), config);
    BpeOptions options;
    options.byte_level = is_byte_level(kind);
    BpeModel model;
    ASSERT_TRUE(BpeModel::build(trained.tokens, merge_string_pairs(trained), options, &model).ok());
    for (const char* name : {"en-prose.txt", "mixed-scripts.txt", "whitespace.txt"}) {
      const std::string path = testing::fixtures_dir() + "/" + name;
      const std::string text = read_file(path);
      // Files are counted line by line in the byte-level family.
      TextEncoder encoder(model, kind, nullptr, {});
      std::vector<uint32_t> ids;
      size_t start = 0;
      while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        ASSERT_TRUE(encoder.encode(std::string_view(text).substr(start, end - start), &ids).ok());
        start = end;
      }
      CountResult held_out = count_words({path}, 2, kind);
      ASSERT_TRUE(held_out.status.ok());
      const EvalFigures figures = evaluate_words(model, held_out.words, 2, nullptr);
      EXPECT_EQ(figures.tokens, ids.size()) << name;
      EXPECT_EQ(figures.unknown_bytes, encoder.unknown_bytes()) << name;
    }
  }
}

TEST(TextEncoderTest, AddedTokensLeftmostThenLongest) {
  BpeModel model;
  ASSERT_TRUE(BpeModel::build({"<s>", "<s>x", "a", "x", "ax"}, {{"a", "x"}}, {}, &model).ok());
  TextEncoder encoder(model, PretokenizerKind::Whitespace, nullptr, {{"<s>", 0}, {"<s>x", 1}, {"", 2}});
  std::vector<uint32_t> ids;
  ASSERT_TRUE(encoder.encode("ax<s>xa<s>ax <s>", &ids).ok());
  // "ax", "<s>x" (longer than "<s>"), "a", "<s>", "ax", "<s>"
  EXPECT_EQ(ids, (std::vector<uint32_t>{4, 1, 2, 0, 4, 0}));
}

}  // namespace
}  // namespace selkbar
