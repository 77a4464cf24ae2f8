// docstrings.h: the pieces of the entry points' docstrings and text
// signatures that several entry points share, as string literals to
// concatenate, so that an option is described the same way everywhere.
#ifndef SELKBAR_BINDING_DOCSTRINGS_H_
#define SELKBAR_BINDING_DOCSTRINGS_H_

// The docstrings list every argument, one line each; help() shows them
// under signatures that give the real defaults.
#define SELKBAR_OPTIONS_SIGNATURE                                                        \
  "special_tokens=(), min_frequency=0, max_token_length=None, limit_alphabet=None, "     \
  "initial_alphabet=(), base=None, "
#define SELKBAR_WORD_OPTIONS_SIGNATURE \
  "continuing_subword_prefix=None, end_of_word_suffix=None, "
#define SELKBAR_FILE_OPTIONS_SIGNATURE \
  "pretokenizer='whitespace', threads=None, "
#define SELKBAR_OPTIONS_DOC                                                                  \
  "  special_tokens      tokens that get the first ids, in the order given\n"               \
  "  min_frequency       a pair seen fewer times is never merged (0: no minimum)\n"         \
  "  max_token_length    no token longer than this many characters (None: no limit)\n"     \
  "  limit_alphabet      keep at most this many characters: the initial ones first, then\n"  \
  "                      the most frequent (None: all)\n"                                    \
  "  initial_alphabet    strings whose first characters are always in the alphabet;\n"      \
  "                      BYTE_LEVEL_ALPHABET makes every byte, so any text, encodable\n"  \
  "  base                continue training from this tokenizer: a tokenizer.json path\n"   \
  "                      or a (vocab, merges) pair; its tokens keep their ids, its\n"      \
  "                      merges come first, and vocab_size must be above its size\n"
#define SELKBAR_WORD_OPTIONS_DOC                                                         \
  "  continuing_subword_prefix  mark of tokens that continue a word, e.g. \"##\"\n"     \
  "  end_of_word_suffix  mark of tokens that end a word, e.g. \"</w>\"\n"
#define SELKBAR_PRETOKENIZER_DOC                                                             \
  "  pretokenizer        \"whitespace\", \"bytelevel\", \"gpt4\" or \"o200k\" (default\n"     \
  "                      \"whitespace\", or \"bytelevel\" when a pattern is given)\n"          \
  "  threads             thread budget (None: every processor, or SELKBAR_THREADS)\n"
#define SELKBAR_PATTERN_DOC                                                                  \
  "  pattern             a regular expression (PCRE2) replacing the byte-level rule\n"
#define SELKBAR_TIKTOKEN_SIGNATURE "tiktoken_output=None, "
#define SELKBAR_TIKTOKEN_DOC                                                                 \
  "  tiktoken_output     path of a tiktoken ranks file to write with output, both or\n"     \
  "                      neither (needs a byte-level pretokenizer and every byte)\n"
#define SELKBAR_PROGRESS_DOC "  progress            draw the run's progress on standard error\n"
#define SELKBAR_VOCAB_DOC                                                                    \
  "  vocab_size          tokens in the vocabulary, special tokens and alphabet included;\n" \
  "                      or a list of sizes, trained once to the largest: one result\n"    \
  "                      per size ({size: (vocab, merges)}), or one file per size\n"
#define SELKBAR_OUTPUT_DOC                                                                   \
  "  output              path (str or os.PathLike) of the tokenizer.json to write; with\n" \
  "                      a list of sizes, a name holding {vocab_size}\n"
#define SELKBAR_FILES_DOC \
  "  files               paths (str or os.PathLike) of plain UTF-8 text files\n"
#define SELKBAR_ITERATOR_DOC                                                                 \
  "  iterator            texts: str, lists or tuples of str, Arrow string arrays; or an\n" \
  "                      Arrow array or stream itself. Each text is pretokenized whole\n"   \
  "  length              texts expected, for the progress display (None: len(iterator)\n"  \
  "                      when it has one)\n"
#define SELKBAR_COUNTS_DOC \
  "  counts              a WordCounts; its pretokenizer is used, the counts unchanged\n"

#endif  // SELKBAR_BINDING_DOCSTRINGS_H_
