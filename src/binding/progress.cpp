// progress.cpp: the progress display of a call.
//
// The display is Python code, selkbar_progress (shared with the command
// line, and needing tqdm, an optional dependency), imported only when a call
// passes progress=True so that importing selkbar stays fast.
#include "binding/binding.h"

namespace selkbar::binding {

bool ProgressDisplay::open(bool enabled, std::optional<uint64_t> length, bool fed) {
  fed_ = fed;
  started_ = std::chrono::steady_clock::now();
  if (!enabled) return true;
  PyRef module(PyImport_ImportModule("selkbar_progress"));
  if (!module) return false;
  PyRef length_object(length ? PyLong_FromUnsignedLongLong(*length) : Py_NewRef(Py_None));
  if (!length_object) return false;
  display_ = PyRef(PyObject_CallMethod(module.get(), "Progress", "O", length_object.get()));
  return static_cast<bool>(display_);
}

bool ProgressDisplay::draw(const RunControl& control) {
  if (!display_) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_draw_ < WAIT_STEP) return true;
  last_draw_ = now;
  if (control.stage() == RunStage::Encoding) {
    return update("encoding", control.merges_done(), control.merges_target(),
                  now - control.merging_started());
  }
  if (control.stage() == RunStage::Merging) {
    // The counting stage's line ends with its final figures.
    if (counting_ && !counting_closed_) {
      counting_closed_ = true;
      if (!draw_counting(control, control.merging_started())) return false;
    }
    return update("merging", control.merges_done(), control.merges_target(),
                  now - control.merging_started());
  }
  return draw_counting(control, now);
}

bool ProgressDisplay::close(const RunControl& control) {
  if (!display_) return true;
  if (PyErr_Occurred()) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef result(PyObject_CallMethod(display_.get(), "close", nullptr));
    if (!result) PyErr_WriteUnraisable(display_.get());
    PyErr_Restore(type, value, traceback);
    display_ = PyRef();
    return false;
  }
  last_draw_ = {};
  const bool drawn = draw(control);
  PyRef result(drawn ? PyObject_CallMethod(display_.get(), "close", nullptr) : nullptr);
  display_ = PyRef();
  return static_cast<bool>(result);
}

bool ProgressDisplay::draw_counting(const RunControl& control,
                                    std::chrono::steady_clock::time_point until) {
  if (fed_) return update("texts", texts_seen_, 0, until - started_);  // the display knows `length`
  return update("reading", control.bytes_scanned(), control.bytes_total(), until - started_);
}

bool ProgressDisplay::update(const char* stage, uint64_t done, uint64_t total,
                             std::chrono::steady_clock::duration elapsed) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  PyRef result(PyObject_CallMethod(display_.get(), "update", "sKKd", stage,
                                   static_cast<unsigned long long>(done),
                                   static_cast<unsigned long long>(total), seconds));
  return static_cast<bool>(result);
}

}  // namespace selkbar::binding
