// The label pass: from the per-label score rows, the winning label and the
// confidence of every pixel, in one pass over the scores.
#pragma once

#include <cstddef>

namespace clsgint {

// One row of width pixels; scores[k] is label k's score row (k < labels).
// Per pixel, starting from best = second = 0 and label 255, each label in turn:
//   if (s > best) { second = best; best = s; label = k; }
//   else if (s > second) second = s;
// (strict: the lower label keeps a tie and NaN never wins). Then
//   confidence = best == 0 or NaN ? 0
//              : clamp(iRound(float((best - second) / (second + best) * 255.0)), 0, 255).
// label and confidence receive width values each. Bit-identical on every
// instruction-set path. The best score is not stored: it is the winner's own
// score (scores[label][x]), or 0 where the label is 255.
void labelPassRow(const double* const* scores, std::size_t labels, long width, unsigned char* label,
                  unsigned char* confidence);

}  // namespace clsgint
