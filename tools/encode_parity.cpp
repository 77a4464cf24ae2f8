// encode_parity: trains a model and writes its tokenizer.json, then prints
// the ids TextEncoder gives for each line of some texts, so that they can be
// compared with the ids the tokenizers library gives with that file.
//
// Usage: encode_parity --train PATH... --text PATH... --json OUT
//                      [--pretokenizer NAME] [--vocab N] [--special TOKEN]...
//                      [--prefix P] [--suffix S]
// Prints one line per text line (its line break included in the text
// encoded): the ids, separated by spaces. A side-by-side check:
//   encode_parity --train a.txt --text b.txt --json /tmp/t.json > ours.txt
//   python -c 'import tokenizers, sys; t = tokenizers.Tokenizer.from_file("/tmp/t.json")
//   for line in open("b.txt", encoding="utf-8", newline=""): print(*t.encode(line).ids)' > theirs.txt
//   cmp ours.txt theirs.txt
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "counting/pipeline.h"
#include "encoding/bpe_model.h"
#include "encoding/text_encoder.h"
#include "pretokenize/pretokenizer_id.h"
#include "training/tokenizer_json.h"
#include "training/trainer.h"

namespace {

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "encode_parity: %s\n", message.c_str());
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> texts;
  std::string json_path;
  selkbar::TrainConfig config;
  config.vocab_size = 8000;
  config.pretokenizer = selkbar::PretokenizerKind::Gpt4;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) usage_error("every option takes a value");
    const char* value = argv[++i];
    if (arg == "--train") {
      config.files.emplace_back(value);
    } else if (arg == "--text") {
      texts.emplace_back(value);
    } else if (arg == "--json") {
      json_path = value;
    } else if (arg == "--vocab") {
      config.vocab_size = std::strtoull(value, nullptr, 10);
    } else if (arg == "--special") {
      config.special_tokens.emplace_back(value);
    } else if (arg == "--prefix") {
      config.continuing_subword_prefix = value;
    } else if (arg == "--suffix") {
      config.end_of_word_suffix = value;
    } else if (arg == "--pretokenizer") {
      const auto named = selkbar::pretokenizer_from_name(value);
      if (!named) usage_error(std::string("unknown pretokenizer ") + value);
      config.pretokenizer = *named;
    } else {
      usage_error("unknown option " + arg);
    }
  }
  if (config.files.empty() || texts.empty() || json_path.empty()) {
    usage_error("--train, --text and --json are required");
  }
  selkbar::CountResult counted = selkbar::count_words(config);
  if (!counted.status.ok()) usage_error(counted.status.message());
  const selkbar::TrainResult trained = selkbar::train_from_words(std::move(counted.words), config);
  {
    std::ofstream json(json_path, std::ios::binary);
    json << selkbar::build_tokenizer_json(trained, config);
    if (!json) usage_error("cannot write " + json_path);
  }

  selkbar::BpeOptions options;
  options.continuing_subword_prefix = config.continuing_subword_prefix;
  options.end_of_word_suffix = config.end_of_word_suffix;
  options.byte_level = selkbar::is_byte_level(config.pretokenizer);
  selkbar::BpeModel model;
  const selkbar::Status built =
      selkbar::BpeModel::build(trained.tokens, selkbar::merge_string_pairs(trained), options, &model);
  if (!built.ok()) usage_error(built.message());
  std::vector<selkbar::AddedToken> added;
  for (const std::string& special : config.special_tokens) {
    const uint32_t id = model.find(special);
    if (id != selkbar::NO_TOKEN) added.push_back({special, id});
  }
  selkbar::TextEncoder encoder(model, config.pretokenizer, nullptr, added);
  std::vector<uint32_t> ids;
  for (const std::string& path : texts) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream whole;
    whole << in.rdbuf();
    const std::string text = whole.str();
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      end = end == std::string::npos ? text.size() : end + 1;
      ids.clear();
      const selkbar::Status status = encoder.encode(std::string_view(text).substr(start, end - start), &ids);
      if (!status.ok()) usage_error(status.message());
      std::string line;
      for (size_t k = 0; k < ids.size(); ++k) {
        if (k > 0) line += ' ';
        line += std::to_string(ids[k]);
      }
      std::puts(line.c_str());
      start = end;
    }
  }
  return 0;
}
