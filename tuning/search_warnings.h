// What the parameter search's report (suggest_params.h) cannot show, in words
// for the user: `clsg train --auto` prints these as warnings and clsg.suggest
// raises them as UserWarning, so both say the same.
#pragma once

#include <string>
#include <vector>

#include "clsg/tuning/suggest_params.h"

namespace clsg {

// One sentence for each of these, for a search over labels named names:
// - one label: with no other colour to weigh claims against, nothing keeps
//   the tolerance narrow;
// - held-out pixels that got their own label in ties alone (their mean
//   confidence under 1): the labels' colours are alike, whatever the estimate;
// - else an estimate within a tenth of the way from chance to perfect: nothing
//   was learnt that can be told from luck; said of the picture's colours no
//   example shows when the held-out pixels themselves are told apart;
// - a tool that labels kMuchWidened or more of the picture samples that the
//   narrowest setting leaves unlabelled, or the widest tolerance tried: parts
//   of the picture that belong to no label would go to the nearest one;
// - a label judged on fewer than kFewHeldOut held-out pixels;
// - a label that gets under a tenth of its own held-out pixels: another label
//   takes its colours;
// - else one that gets under a tenth of its example pixels from the tool
//   written (SuggestReport::onExamples).
std::vector<std::string> searchWarnings(const std::vector<std::string>& names,
                                        const SuggestReport& report);

constexpr uint64_t kFewHeldOut = 100;
constexpr double kMuchWidened = 0.5;

}  // namespace clsg
