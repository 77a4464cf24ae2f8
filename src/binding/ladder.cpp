// ladder.cpp: vocab_size as a list of sizes (ladder.h).
#include "binding/ladder.h"

#include <algorithm>
#include <deque>

#include "base/atomic_file.h"
#include "training/ladder.h"
#include "training/tiktoken_ranks.h"
#include "training/tokenizer_json.h"

namespace selkbar::binding {

uint64_t Ladder::largest() const {
  return sizes.empty() ? 0 : *std::max_element(sizes.begin(), sizes.end());
}

bool convert_ladder(PyObject* object, Ladder* ladder) {
  ladder->sizes.clear();
  // An int, or anything else that is no iterable, converts as one size and
  // fails with the message of one.
  if (PyIndex_Check(object) || PyUnicode_Check(object) || PyBytes_Check(object)) {
    return true;
  }
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) {
    PyErr_Clear();
    return true;
  }
  std::vector<uint64_t> sizes;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    uint64_t size;
    if (!convert_u64(item.get(), &size)) return false;
    if (std::find(sizes.begin(), sizes.end(), size) != sizes.end()) {
      PyErr_Format(PyExc_ValueError,
                   "vocab_size lists %llu twice: each size gives one result", 
                   static_cast<unsigned long long>(size));
      return false;
    }
    sizes.push_back(size);
  }
  if (PyErr_Occurred()) return false;
  if (sizes.empty()) {
    PyErr_SetString(PyExc_ValueError, "vocab_size is an empty list: give at least one size");
    return false;
  }
  ladder->sizes = std::move(sizes);
  return true;
}

bool bind_ladder(PyObject* bound[PARAM_COUNT], Ladder* ladder, PyRef* largest) {
  if (!convert_arg(bound, VOCAB_SIZE, [&](PyObject* o) { return convert_ladder(o, ladder); })) {
    return false;
  }
  if (!ladder->active()) return true;
  *largest = PyRef(PyLong_FromUnsignedLongLong(ladder->largest()));
  if (!*largest) return false;
  bound[VOCAB_SIZE] = largest->get();
  return true;
}

std::string expand_size(const std::string& name, uint64_t size) {
  const std::string digits = std::to_string(size);
  const std::string_view field = SIZE_FIELD;
  std::string out;
  size_t from = 0;
  for (size_t at = name.find(field); at != std::string::npos; at = name.find(field, from)) {
    out.append(name, from, at - from);
    out += digits;
    from = at + field.size();
  }
  out.append(name, from, std::string::npos);
  return out;
}

bool check_ladder_names(const Ladder& ladder, bool writes_output,
                        const std::optional<std::string>& output,
                        const std::optional<std::string>& tiktoken_output) {
  if (!ladder.active()) return true;
  const std::pair<const char*, const std::optional<std::string>*> names[] = {
      {"output", &output}, {"tiktoken_output", &tiktoken_output}};
  for (const auto& [what, name] : names) {
    const bool required = writes_output && name == &output;
    if (!*name && !required) continue;
    if (*name && (*name)->find(SIZE_FIELD) != std::string::npos) continue;
    const std::string given = *name ? **name : std::string("standard output");
    raise_message(PyExc_ValueError,
                  std::string(what) + " " + given + " has no " + SIZE_FIELD +
                      ": with a list of vocabulary sizes each size is written to its own file "
                      "(e.g. \"tokenizer-{vocab_size}.json\")");
    return false;
  }
  return true;
}

Status finish_ladder(const TrainConfig& config, const TrainResult& full, bool write,
                     const std::optional<std::string>& output,
                     const std::optional<std::string>& tiktoken_output, Ladder* ladder) {
  ladder->results.clear();
  ladder->results.reserve(ladder->sizes.size());
  for (uint64_t size : ladder->sizes) ladder->results.push_back(cut_training(full, size));
  if (!write) return Status();
  // Paths and texts are kept in deques: FileContents refers to them.
  std::deque<std::string> paths, texts;
  std::vector<FileContents> files;
  for (size_t i = 0; i < ladder->sizes.size(); ++i) {
    const TrainResult& result = ladder->results[i];
    if (output) {
      paths.push_back(expand_size(*output, ladder->sizes[i]));
      texts.push_back(build_tokenizer_json(result, config));
      files.push_back({paths.back(), texts.back()});
    }
    if (tiktoken_output) {
      paths.push_back(expand_size(*tiktoken_output, ladder->sizes[i]));
      texts.push_back(build_tiktoken_ranks(result, config));
      files.push_back({paths.back(), texts.back()});
    }
  }
  // From here an interrupt waits for the files instead of stopping the run.
  commit_or_stop(config.control);
  return write_files_atomically(files);
}

}  // namespace selkbar::binding
