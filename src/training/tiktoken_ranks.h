// tiktoken_ranks.h: a trained byte-level vocabulary as a tiktoken ranks file.
//
// tiktoken loads a vocabulary as "mergeable ranks", one line per token: the
// token's bytes in base64, a space, its rank in decimal, a line feed. Within
// each piece its split pattern cuts, it merges the adjacent pair whose joined
// bytes have the lowest rank. Here rank = id, so the file lists the tokens
// by id, each spelled back from the byte-level alphabet to the bytes it
// stands for; special tokens are left out (tiktoken takes them apart, as its
// special_tokens dict):
//
//   IQ== 1      "!"    (byte 0x21; id 0 is a special token)
//   xKA= 95     "Ġ"    (byte 0x20)
//   IHRo 300    "Ġth"  (bytes " th")
//
// tiktoken fails on text holding a byte it has no rank for, so only a
// vocabulary with all 256 bytes among its ordinary tokens is written:
// check_tiktoken_output refuses, before any work, every configuration that
// could train another (whitespace mode, a prefix or suffix, an initial
// alphabet without every byte, a byte taken by a special token).
#ifndef SELKBAR_TRAINING_TIKTOKEN_RANKS_H_
#define SELKBAR_TRAINING_TIKTOKEN_RANKS_H_

#include <optional>
#include <string>

#include "config.h"
#include "training/trainer.h"

namespace selkbar {

// Why `config` cannot train a vocabulary for tiktoken, or nothing.
std::optional<std::string> check_tiktoken_output(const TrainConfig& config);

// The ranks file of `result`. REQUIRES: check_tiktoken_output(config) found
// nothing. Throws InternalError for a token that is not byte-level text.
std::string build_tiktoken_ranks(const TrainResult& result, const TrainConfig& config);

}  // namespace selkbar

#endif  // SELKBAR_TRAINING_TIKTOKEN_RANKS_H_
