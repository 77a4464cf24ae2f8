// feeder.cpp: feeding the texts of a Python iterator, or of Arrow arrays
// and streams, to the counting threads.
#include <cstdint>
#include <string_view>

#include "binding/binding.h"
#include "counting/text_feed.h"
#include "unicode/utf8.h"

namespace selkbar::binding {
namespace {

// Takes the items of the caller's iterator on the calling thread, with the
// lock held, packs their texts into chunks and hands the chunks to the
// counting threads (waiting without the lock while the queue is full).
// Memory in flight is the channel's bound plus one chunk being filled.
class Feeder {
 public:
  Feeder(selkbar::FedCounting& counting, selkbar::RunControl& control, ProgressDisplay& display,
         bool file_blocks, std::deque<std::string>& sources)
      : counting_(counting),
        control_(control),
        display_(display),
        file_blocks_(file_blocks),
        sources_(sources),
        builder_(counting.chunk_bytes()) {}

  // Feeds everything the iterable gives. Returns false with an exception
  // set (the iterator's own, a bad item's, or a signal handler's), the run
  // then cancelled.
  bool feed(PyObject* iterable) {
    Flow flow = Flow::Go;
    if (PyObject_HasAttrString(iterable, "__arrow_c_stream__")) {
      flow = feed_arrow_stream(iterable);
    } else if (PyObject_HasAttrString(iterable, "__arrow_c_array__")) {
      flow = feed_arrow_array(iterable, "iterator");
    } else {
      PyRef iterator(PyObject_GetIter(iterable));
      if (!iterator) {
        prefix_type_error("iterator");
        return false;
      }
      for (size_t index = 0; flow == Flow::Go; ++index) {
        PyRef item(PyIter_Next(iterator.get()));
        if (!item) {
          if (PyErr_Occurred()) flow = Flow::Fail;
          break;
        }
        flow = feed_item(item.get(), index);
        if (flow == Flow::Go && index % SIGNAL_CHECK_ITEMS == 0) flow = check_signals();
      }
    }
    if (flow == Flow::Go && !builder_.empty()) flow = send(builder_.take());
    display_.set_texts_seen(builder_.texts_seen());
    // A failed feed stops the counting threads instead of letting them count
    // what is queued for a result nobody will see.
    if (flow == Flow::Fail) control_.cancel();
    return flow != Flow::Fail;
  }

 private:
  // Go on, stop feeding (the counting threads stopped: finish() says why),
  // or fail with an exception set.
  enum class Flow { Go, Stop, Fail };
  // Items between two looks for pending signals when no chunk is sent.
  static constexpr size_t SIGNAL_CHECK_ITEMS = 4096;

  Flow feed_item(PyObject* item, size_t index) {
    if (PyUnicode_Check(item)) {
      if (!add_str(item)) return Flow::Fail;
      return builder_.full() ? send(builder_.take()) : Flow::Go;
    }
    if (PyList_Check(item) || PyTuple_Check(item)) {
      if (file_blocks_ && is_file_block(item)) return feed_file_block(item, index);
      return feed_batch(item, index);
    }
    if (PyObject_HasAttrString(item, "__arrow_c_array__")) {
      return feed_arrow_array(item, "item " + std::to_string(index));
    }
    PyRef type_name(PyType_GetName(Py_TYPE(item)));
    if (type_name) {
      PyErr_Format(PyExc_TypeError,
                   "item %zu is of type '%U'; expected str, a list or tuple of str, or an Arrow "
                   "string array",
                   index, type_name.get());
    }
    return Flow::Fail;
  }

  // Copies a str's UTF-8 into the chunk. ASCII text is copied as it is
  // stored; other text is encoded here from its code points, because asking
  // CPython for the UTF-8 would cache a copy inside every str object, which
  // lives on in the caller's lists and could double their memory.
  bool add_str(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return false;
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
      builder_.add_text(std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                                         static_cast<size_t>(length)));
      return true;
    }
    const auto n = static_cast<size_t>(length);
    const void* data = PyUnicode_DATA(text);
    size_t written;
    switch (PyUnicode_KIND(text)) {
      case PyUnicode_1BYTE_KIND:
        written = selkbar::encode_utf8(static_cast<const Py_UCS1*>(data), n,
                                       builder_.begin_text(2 * n));
        break;
      case PyUnicode_2BYTE_KIND:
        written = selkbar::encode_utf8(static_cast<const Py_UCS2*>(data), n,
                                       builder_.begin_text(3 * n));
        break;
      default:
        written = selkbar::encode_utf8(static_cast<const Py_UCS4*>(data), n,
                                       builder_.begin_text(4 * n));
        break;
    }
    if (written == SIZE_MAX) {
      // A lone surrogate: CPython's own encoder raises the exception the
      // file-mode arguments raise, UnicodeEncodeError.
      Py_ssize_t size;
      if (PyUnicode_AsUTF8AndSize(text, &size) == nullptr) return false;
      PyErr_SetString(PyExc_SystemError, "a surrogate passed the UTF-8 encoder");
      return false;
    }
    builder_.end_text(written);
    return true;
  }

  Flow feed_batch(PyObject* batch, size_t index) {
    // Sending waits without the lock, so another thread may change a list
    // meanwhile: its size and items are read afresh for every element.
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(batch); ++k) {
      PyRef held(Py_NewRef(PySequence_Fast_GET_ITEM(batch, k)));
      PyObject* text = held.get();
      if (!PyUnicode_Check(text)) {
        PyRef type_name(PyType_GetName(Py_TYPE(text)));
        if (type_name) {
          PyErr_Format(PyExc_TypeError, "item %zu, element %zd is of type '%U'; expected str",
                       index, k, type_name.get());
        }
        return Flow::Fail;
      }
      if (!add_str(text)) return Flow::Fail;
      if (builder_.full()) {
        const Flow flow = send(builder_.take());
        if (flow != Flow::Go) return flow;
      }
    }
    return Flow::Go;
  }

  static bool is_file_block(PyObject* item) {
    return PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 3 &&
           PyObject_CheckBuffer(PyTuple_GET_ITEM(item, 0));
  }

  // (data, source, offset): file text, split by the file rules; it goes
  // into a chunk of its own, after the texts before it.
  Flow feed_file_block(PyObject* block, size_t index) {
    std::string source;
    uint64_t offset;
    if (!convert_str(PyTuple_GET_ITEM(block, 1), &source) ||
        !convert_u64(PyTuple_GET_ITEM(block, 2), &offset)) {
      prefix_type_error(("item " + std::to_string(index)).c_str());
      return Flow::Fail;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(PyTuple_GET_ITEM(block, 0), &view, PyBUF_SIMPLE) < 0) return Flow::Fail;
    if (sources_.empty() || sources_.back() != source) sources_.push_back(std::move(source));
    selkbar::TextChunk chunk = selkbar::file_chunk(
        std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)),
        &sources_.back(), offset);
    PyBuffer_Release(&view);
    if (!builder_.empty()) {
      const Flow flow = send(builder_.take());
      if (flow != Flow::Go) return flow;
    }
    return send(std::move(chunk));
  }

  // An object offering __arrow_c_array__: its (schema, array) capsules stay
  // alive, and so the array's buffers, while the strings are read.
  Flow feed_arrow_array(PyObject* item, const std::string& what) {
    PyRef pair(PyObject_CallMethod(item, "__arrow_c_array__", nullptr));
    if (!pair) return Flow::Fail;
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
      raise_message(PyExc_TypeError, what + ": __arrow_c_array__ did not return two capsules");
      return Flow::Fail;
    }
    auto* schema = static_cast<ArrowSchema*>(
        PyCapsule_GetPointer(PyTuple_GET_ITEM(pair.get(), 0), "arrow_schema"));
    if (schema == nullptr) return Flow::Fail;
    auto* array = static_cast<ArrowArray*>(
        PyCapsule_GetPointer(PyTuple_GET_ITEM(pair.get(), 1), "arrow_array"));
    if (array == nullptr) return Flow::Fail;
    return feed_arrow_strings(*schema, *array, what);
  }

  Flow feed_arrow_strings(const ArrowSchema& schema, const ArrowArray& array,
                          const std::string& what) {
    Status status;
    std::optional<ArrowStrings> strings = ArrowStrings::open(schema, array, &status);
    if (!strings) {
      raise_status(status.Prefixed(what + ": "));
      return Flow::Fail;
    }
    while (!strings->done()) {
      strings->append_some(builder_);
      if (builder_.full()) {
        const Flow flow = send(builder_.take());
        if (flow != Flow::Go) return flow;
      }
    }
    return Flow::Go;
  }

  // An object offering __arrow_c_stream__ (a chunked array, a column): its
  // arrays one after the other, each released once read.
  Flow feed_arrow_stream(PyObject* object) {
    PyRef capsule(PyObject_CallMethod(object, "__arrow_c_stream__", nullptr));
    if (!capsule) return Flow::Fail;
    auto* stream =
        static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
    if (stream == nullptr) return Flow::Fail;
    ArrowSchema schema{};
    if (stream->get_schema(stream, &schema) != 0) return stream_error(stream);
    Flow flow = Flow::Go;
    while (flow == Flow::Go) {
      ArrowArray array{};
      if (stream->get_next(stream, &array) != 0) {
        flow = stream_error(stream);
        break;
      }
      if (array.release == nullptr) break;  // the end of the stream
      flow = feed_arrow_strings(schema, array, "iterator");
      array.release(&array);
      if (flow == Flow::Go) flow = check_signals();
    }
    if (schema.release != nullptr) schema.release(&schema);
    return flow;
  }

  static Flow stream_error(ArrowArrayStream* stream) {
    const char* message = stream->get_last_error(stream);
    raise_message(PyExc_ValueError, std::string("reading the Arrow stream: ") +
                                        (message != nullptr ? message : "unknown error"));
    return Flow::Fail;
  }

  // Hands a chunk to the counting threads, waiting without the lock while
  // the queue is full, and running signal handlers and the display between
  // waits.
  Flow send(selkbar::TextChunk chunk) {
    for (;;) {
      selkbar::SendStatus status;
      Py_BEGIN_ALLOW_THREADS
      status = counting_.send_for(chunk, WAIT_STEP);
      Py_END_ALLOW_THREADS
      if (status == selkbar::SendStatus::Closed) return Flow::Stop;
      if (status == selkbar::SendStatus::Sent) {
        // A run that has already failed (bad UTF-8) is not fed any further.
        if (counting_.failed()) return Flow::Stop;
        return check_signals();
      }
      if (check_signals() != Flow::Go) return Flow::Fail;
    }
  }

  Flow check_signals() {
    display_.set_texts_seen(builder_.texts_seen());
    if (PyErr_CheckSignals() < 0 || !display_.draw(control_)) return Flow::Fail;
    return Flow::Go;
  }


  selkbar::FedCounting& counting_;
  selkbar::RunControl& control_;
  ProgressDisplay& display_;
  const bool file_blocks_;
  std::deque<std::string>& sources_;
  selkbar::ChunkBuilder builder_;
};

}  // namespace

bool feed_texts(PyObject* iterable, FedCounting& counting, RunControl& control,
                ProgressDisplay& display, bool file_blocks, std::deque<std::string>& sources) {
  Feeder feeder(counting, control, display, file_blocks, sources);
  return feeder.feed(iterable);
}

}  // namespace selkbar::binding
