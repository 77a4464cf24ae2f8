// split_units.h: driving a splitter over the units it cuts on their own (the
// lines of file text, or one whole text), shared by the byte-level family's
// splitters.
//
//   for_each_line(text, [&](const char* begin, const char* end) { ... });
//   cut_unit<128>(begin, end, cut_line, &classifier, sink);
//
// File text is split one line at a time (a line ends just after each 0x0A
// byte, the last one at the end of the text); a text handed over whole is
// one unit. A cutter, `size_t cut(begin, end, cuts, classifier)`, stores the
// ends of up to Batch pretokens of [begin, end) in cuts[] and returns how
// many, at least one; cut_unit hands each pretoken to the sink in order.
#ifndef SELKBAR_PRETOKENIZE_SPLIT_UNITS_H_
#define SELKBAR_PRETOKENIZE_SPLIT_UNITS_H_

#include <cstddef>
#include <cstring>
#include <string_view>

namespace selkbar {

// Calls unit(begin, end) for each line of `text`, in order.
template <typename Unit>
void for_each_line(std::string_view text, Unit&& unit) {
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    const void* newline = std::memchr(p, '\n', static_cast<size_t>(end - p));
    const char* const line_end = newline ? static_cast<const char*>(newline) + 1 : end;
    unit(p, line_end);
    p = line_end;
  }
}

// Runs `cut` over [p, unit_end) and hands each pretoken to the sink.
template <size_t Batch, typename Cut, typename Classifier, typename Sink>
void cut_unit(const char* p, const char* unit_end, Cut cut, Classifier* classifier, Sink& sink) {
  const char* cuts[Batch];
  while (p < unit_end) {
    const size_t count = cut(p, unit_end, cuts, classifier);
    for (size_t i = 0; i < count; ++i) {
      sink(std::string_view(p, static_cast<size_t>(cuts[i] - p)));
      p = cuts[i];
    }
  }
}

}  // namespace selkbar

#endif  // SELKBAR_PRETOKENIZE_SPLIT_UNITS_H_
