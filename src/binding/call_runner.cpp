// call_runner.cpp: runs a training or counting call's engine work on a
// thread of its own, feeding the iterator first when the call has one, while
// the calling thread runs signal handlers and the progress display (see
// binding.h).
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "binding/binding.h"

namespace selkbar::binding {
namespace {

// Runs `work` on a thread of its own while this thread waits as described
// above. Returns false, with the handler's or the display's exception set,
// if the run was interrupted; `work` has ended either way.
bool run_interruptibly(const std::function<void()>& work, RunControl& control,
                       ProgressDisplay& display) {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  auto body = [&] {
    work();
    {
      std::scoped_lock lock(mutex);
      done = true;
    }
    ended.notify_all();
  };
  std::thread thread;
  try {
    thread = std::thread(body);
  } catch (const std::system_error&) {
    // No thread to spare for waiting: run the work here, without the lock,
    // as an uninterruptible call; the engine reports whatever else fails.
    Py_BEGIN_ALLOW_THREADS
    body();
    Py_END_ALLOW_THREADS
    return true;
  }
  bool interrupted = false;
  for (;;) {
    bool finished;
    Py_BEGIN_ALLOW_THREADS
    {
      std::unique_lock lock(mutex);
      finished = ended.wait_for(lock, WAIT_STEP, [&] { return done; });
    }
    Py_END_ALLOW_THREADS
    if (finished) break;
    if (interrupted) continue;  // waiting for the engine to stop
    // Once the engine writes its files, signals stay pending until the call
    // has returned, as they would right after any finished write.
    interrupted = control.cancel_if(
        [&] { return PyErr_CheckSignals() < 0 || !display.draw(control); });
  }
  Py_BEGIN_ALLOW_THREADS
  thread.join();
  Py_END_ALLOW_THREADS
  return !interrupted;
}

// The keywords every training and counting call takes.
struct CallOptions {
  bool progress = false;
  std::optional<uint64_t> length;
};

// The texts an iterable holds, when that is known without taking its items:
// the length of an Arrow array, chunked array or table column, or of a
// list or tuple of texts, batches (counted by their length) and arrays.
// nullopt when unknown; never raises.
std::optional<uint64_t> known_length(PyObject* iterable) {
  auto length_of = [](PyObject* object) -> std::optional<uint64_t> {
    const Py_ssize_t n = PyObject_Length(object);
    if (n < 0) {
      PyErr_Clear();
      return std::nullopt;
    }
    return static_cast<uint64_t>(n);
  };
  if (PyList_Check(iterable) || PyTuple_Check(iterable)) {
    PyRef items(PySequence_Fast(iterable, ""));
    if (!items) {
      PyErr_Clear();
      return std::nullopt;
    }
    uint64_t texts = 0;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
      std::optional<uint64_t> n = PyUnicode_Check(item) ? std::optional<uint64_t>(1) : length_of(item);
      if (!n) return std::nullopt;
      texts += *n;
    }
    return texts;
  }
  const bool arrow = PyObject_HasAttrString(iterable, "__arrow_c_stream__") ||
                     PyObject_HasAttrString(iterable, "__arrow_c_array__");
  return arrow ? length_of(iterable) : std::nullopt;
}

bool convert_call_options(PyObject* const bound[PARAM_COUNT], CallOptions* options) {
  if (bound[PROGRESS] != nullptr) {
    const int on = PyObject_IsTrue(bound[PROGRESS]);
    if (on < 0) return false;
    options->progress = on != 0;
  }
  PyObject* const iterable = bound[ITERATOR];
  if (iterable != nullptr && PyUnicode_Check(iterable)) {
    // Iterating a str gives its characters, each of which would train as a
    // text of its own.
    PyErr_SetString(PyExc_TypeError,
                    "argument 'iterator': got a str, which would train on its single characters; "
                    "pass an iterable of texts, e.g. [text]");
    return false;
  }
  if (!convert_arg(bound, LENGTH, optional_of(&options->length, convert_u64))) return false;
  // The display shows a total, and so an end time, without length= when
  // the input knows its own size.
  if (!options->length && options->progress && iterable != nullptr) {
    options->length = known_length(iterable);
  }
  return true;
}

// Runs a call's engine work: feeds the iterator first when the call has

}  // namespace

bool run_call(PyObject* const bound[PARAM_COUNT], const Signature& sig, TrainConfig& config,
              const std::function<void(FedCounting*)>& work) {
  CallOptions options;
  if (!convert_call_options(bound, &options)) return false;
  selkbar::RunControl control;
  config.control = &control;
  ProgressDisplay display;
  if (!display.open(options.progress, options.length, bound[ITERATOR] != nullptr)) return false;
  if (bound[COUNTS] != nullptr) {
    control.set_stage(selkbar::RunStage::Merging);
    display.skip_counting();
  }
  bool ok;
  if (bound[ITERATOR] == nullptr) {
    ok = run_interruptibly([&] { work(nullptr); }, control, display);
  } else {
    // Declared before the counting threads, which read the sources.
    std::deque<std::string> sources;
    std::optional<selkbar::FedCounting> fed;
    try {
      fed.emplace(config);
    } catch (...) {
      raise_failure(std::current_exception());
      display.close(control);
      return false;
    }
    ok = feed_texts(bound[ITERATOR], *fed, control, display, sig.file_blocks, sources) &&
         run_interruptibly([&] { work(&*fed); }, control, display);
    // Joins the counting threads if the feed failed.
    Py_BEGIN_ALLOW_THREADS
    fed.reset();
    Py_END_ALLOW_THREADS
  }
  ok = display.close(control) && ok;
  return ok;
}
}  // namespace selkbar::binding
