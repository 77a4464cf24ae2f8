#include "counts/arrow_counts.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

namespace selkbar {

namespace {

// Every node of an exported schema or array owns its children and the
// storage its pointers point into; release releases the children first, then
// frees the node's own part, as the interface requires. Until a node is
// handed out it sits in a unique_ptr that releases it, so a failed
// allocation half-way frees what was made.
template <typename Node>
struct NodeDeleter {
  void operator()(Node* node) const {
    if (node->release != nullptr) node->release(node);
    delete node;
  }
};
template <typename Node>
using NodePtr = std::unique_ptr<Node, NodeDeleter<Node>>;

template <typename Node>
std::vector<Node*> adopt(std::vector<NodePtr<Node>>& children) {
  std::vector<Node*> raw;
  raw.reserve(children.size());  // the last allocation: nothing below can fail
  for (NodePtr<Node>& child : children) raw.push_back(child.release());
  return raw;
}

template <typename Node>
void release_children(std::vector<Node*>& children) {
  for (Node* child : children) NodeDeleter<Node>()(child);
}

struct SchemaData {
  std::string format;
  std::string name;
  std::string metadata;  // empty: no metadata
  std::vector<ArrowSchema*> children;
};

void release_schema(ArrowSchema* schema) {
  auto* data = static_cast<SchemaData*>(schema->private_data);
  release_children(data->children);
  delete data;
  schema->release = nullptr;
}

// Fills `out` with one schema node owning `children`.
void make_schema(ArrowSchema* out, std::string format, std::string name, std::string metadata,
                 std::vector<NodePtr<ArrowSchema>> children) {
  auto data = std::make_unique<SchemaData>();
  data->format = std::move(format);
  data->name = std::move(name);
  data->metadata = std::move(metadata);
  data->children = adopt(children);
  out->format = data->format.c_str();
  out->name = data->name.c_str();
  out->metadata = data->metadata.empty() ? nullptr : data->metadata.data();
  out->flags = 0;  // no column holds nulls
  out->n_children = static_cast<int64_t>(data->children.size());
  out->children = data->children.empty() ? nullptr : data->children.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = data.release();
}

NodePtr<ArrowSchema> field(const char* format, const char* name) {
  NodePtr<ArrowSchema> node(new ArrowSchema{});
  make_schema(node.get(), format, name, "", {});
  return node;
}

void export_schema(const std::string& metadata, ArrowSchema* out) {
  std::vector<NodePtr<ArrowSchema>> children;
  children.push_back(field("U", "word"));
  children.push_back(field("L", "count"));
  make_schema(out, "+s", "", metadata, std::move(children));
}

struct ArrayData {
  std::shared_ptr<const WordCounts> counts;  // keeps the words and counts alive
  std::vector<int64_t> offsets;
  std::vector<const void*> buffers;
  std::vector<ArrowArray*> children;
};

void release_array(ArrowArray* array) {
  auto* data = static_cast<ArrayData*>(array->private_data);
  release_children(data->children);
  delete data;
  array->release = nullptr;
}

// Fills `out` with one array node of `length` entries and no nulls.
void make_array(ArrowArray* out, std::unique_ptr<ArrayData> data, int64_t length,
                std::vector<NodePtr<ArrowArray>> children) {
  data->children = adopt(children);
  out->length = length;
  out->null_count = 0;
  out->offset = 0;
  out->n_buffers = static_cast<int64_t>(data->buffers.size());
  out->buffers = data->buffers.data();
  out->n_children = static_cast<int64_t>(data->children.size());
  out->children = data->children.empty() ? nullptr : data->children.data();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = data.release();
}

NodePtr<ArrowArray> column(std::unique_ptr<ArrayData> data, int64_t length) {
  NodePtr<ArrowArray> node(new ArrowArray{});
  make_array(node.get(), std::move(data), length, {});
  return node;
}

// Rows [begin, end) of the counts as one record batch: a struct array whose
// children point into the counts' arena and count array; only the offsets,
// widened to 64 bits and starting at 0, are new.
void export_batch(const std::shared_ptr<const WordCounts>& counts, size_t begin, size_t end,
                  ArrowArray* out) {
  const WordTable& table = counts->words();
  const auto length = static_cast<int64_t>(end - begin);
  const uint32_t base = table.offsets()[begin];

  auto words = std::make_unique<ArrayData>();
  words->counts = counts;
  words->offsets.resize(end - begin + 1);
  for (size_t i = begin; i <= end; ++i) words->offsets[i - begin] = table.offsets()[i] - base;
  words->buffers = {nullptr, words->offsets.data(), table.bytes().data() + base};
  auto word_counts = std::make_unique<ArrayData>();
  word_counts->counts = counts;
  word_counts->buffers = {nullptr, table.counts().data() + begin};
  std::vector<NodePtr<ArrowArray>> children;
  children.push_back(column(std::move(words), length));
  children.push_back(column(std::move(word_counts), length));
  auto batch = std::make_unique<ArrayData>();
  batch->counts = counts;
  batch->buffers = {nullptr};
  make_array(out, std::move(batch), length, std::move(children));
}

struct StreamData {
  std::shared_ptr<const WordCounts> counts;
  std::string metadata;
  size_t next_row = 0;
  std::string last_error;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  try {
    export_schema(data->metadata, out);
    return 0;
  } catch (const std::bad_alloc&) {
    data->last_error = "out of memory exporting the counts' schema";
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  const size_t size = data->counts->size();
  if (data->next_row >= size) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  const size_t end = std::min(size, data->next_row + EXPORT_BATCH_ROWS);
  try {
    export_batch(data->counts, data->next_row, end, out);
  } catch (const std::bad_alloc&) {
    data->last_error = "out of memory exporting the counts";
    return ENOMEM;
  }
  data->next_row = end;
  return 0;
}

const char* stream_last_error(ArrowArrayStream* stream) {
  const auto* data = static_cast<StreamData*>(stream->private_data);
  return data->last_error.empty() ? nullptr : data->last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  delete static_cast<StreamData*>(stream->private_data);
  stream->release = nullptr;
}

void append_int32(std::string& out, size_t value) {
  const auto v = static_cast<int32_t>(value);
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

int32_t read_int32(const char*& p) {
  int32_t v;
  std::memcpy(&v, p, sizeof v);
  p += sizeof v;
  return v;
}

}  // namespace

void export_counts(std::shared_ptr<const WordCounts> counts, ArrowArrayStream* out) {
  const PretokenizerId& id = counts->pretokenizer();
  ArrowMetadata metadata = {
      {std::string(PRETOKENIZER_METADATA_KEY), std::string(pretokenizer_name(id.kind))}};
  if (id.pattern) metadata.emplace_back(std::string(PATTERN_METADATA_KEY), *id.pattern);
  auto data = std::make_unique<StreamData>();
  data->metadata = encode_arrow_metadata(metadata);
  data->counts = std::move(counts);
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_last_error;
  out->release = stream_release;
  out->private_data = data.release();
}

std::string encode_arrow_metadata(const ArrowMetadata& entries) {
  std::string out;
  append_int32(out, entries.size());
  for (const auto& [key, value] : entries) {
    append_int32(out, key.size());
    out += key;
    append_int32(out, value.size());
    out += value;
  }
  return out;
}

ArrowMetadata decode_arrow_metadata(const char* metadata) {
  ArrowMetadata entries;
  if (metadata == nullptr) return entries;
  const char* p = metadata;
  const int32_t n = read_int32(p);
  for (int32_t i = 0; i < n; ++i) {
    const int32_t key_size = read_int32(p);
    std::string key(p, static_cast<size_t>(key_size));
    p += key_size;
    const int32_t value_size = read_int32(p);
    std::string value(p, static_cast<size_t>(value_size));
    p += value_size;
    entries.emplace_back(std::move(key), std::move(value));
  }
  return entries;
}

std::optional<std::string> find_metadata(const ArrowMetadata& entries, std::string_view key) {
  for (const auto& [k, v] : entries) {
    if (k == key) return v;
  }
  return std::nullopt;
}

}  // namespace selkbar
