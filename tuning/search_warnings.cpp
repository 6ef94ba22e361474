#include "clsg/tuning/search_warnings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "clsg/tuning/quality_report.h"

namespace clsg {

namespace {

std::string percent(double share) { return percentText(share) + " %"; }

// Held-out pixels split about evenly between labels of one colour land a
// point or two either side of chance: within a tenth of the way from chance
// to perfect, nothing was learnt that can be told from luck.
bool nearChance(double accuracy, std::size_t labels) {
    const double chance = 1.0 / static_cast<double>(labels);
    return accuracy <= chance + 0.1 * (1.0 - chance);
}

std::string chanceWarning(std::size_t labels, const SuggestReport& report) {
    const double heldOut = report.candidates[report.estimated].balancedAccuracy;
    std::string said = "the estimate (" + percent(report.estimate) +
                       ") is little or no better than choosing among the " +
                       std::to_string(labels) + " labels at random (" +
                       percent(1.0 / static_cast<double>(labels)) + ")";
    if (std::isnan(heldOut) || nearChance(heldOut, labels))
        return said +
               ": the examples are likely too few or too small to learn from, or the labels' "
               "colours alike";
    return said + ", though the examples' held-out pixels are told apart (" + percent(heldOut) +
           "): " + percent(report.uncovered) +
           " of the picture samples hold colours no example shows, and they weigh it down; "
           "teach labels for the rest of the picture too";
}

// Labels taught on one colour tie on every pixel: a held-out pixel gets its
// own label only where ties fall its way, which uneven folds can make look
// above chance on a small picture (56.7 % for two halves of one flat
// colour with two folds of 32 x 32 tiles). The mean confidence counts a wrong label 0, so over the
// pixels that got their own label it is about meanConfidence / balancedAccuracy: under one step of
// 255 is ties alone.
bool tiesOnly(const SuggestReport& report) {
    const SuggestCandidate& c = report.candidates[report.estimated];
    return c.balancedAccuracy > 0 && c.meanConfidence < c.balancedAccuracy;
}

std::string tieWarning(const SuggestReport& report) {
    return "the labels are not told apart: every held-out pixel that got its own label got it "
           "in a tie with another label (confidence 0), settled by the segmenter's rule for "
           "ties, not by colour: the estimate (" +
           percent(report.estimate) +
           ") says nothing; the labels' colours are alike as taught: teach each on its own "
           "colours";
}

// Whether the choice is the widest tolerance the search tried.
bool widestChosen(const SuggestReport& report) {
    double fraction = 0;
    uint32_t minimum = 0;
    for (const SuggestCandidate& c : report.candidates) {
        fraction = std::max(fraction, c.trainParams.colorToleranceFrac());
        minimum = std::max(minimum, c.trainParams.colorToleranceMin());
    }
    return report.trainParams.colorToleranceFrac() == fraction &&
           report.trainParams.colorToleranceMin() == minimum;
}

}  // namespace

std::vector<std::string> searchWarnings(const std::vector<std::string>& names,
                                        const SuggestReport& report) {
    const std::size_t labels = names.size();
    if (labels == 1)
        return {
            "with one label the search has no other colour to tell it from, so nothing keeps "
            "its tolerance narrow and its estimate cannot show the pixels the label claims "
            "wrongly: teach a label for the rest of the picture too, or give the tolerance by "
            "hand"};
    if (labels == 0 || report.candidates.empty()) return {};
    std::vector<std::string> said;
    if (tiesOnly(report))
        said.push_back(tieWarning(report));
    else if (nearChance(report.estimate, labels))
        said.push_back(chanceWarning(labels, report));
    // What the tool labels that the narrowest setting leaves unlabelled: shades
    // of the labels, or parts of the picture that belong to none (which the
    // examples cannot tell); much of the picture, or the widest tolerance, is
    // worth a look.
    const double widened = widenedShare(report);
    const bool widest = widestChosen(report);
    if (widened >= kMuchWidened || (widest && widened > 0)) {
        char tolerance[96] = "";
        if (widest)
            std::snprintf(tolerance, sizeof tolerance,
                          ", at the widest tolerance the search tries (fraction %g, minimum %u)",
                          report.trainParams.colorToleranceFrac(),
                          static_cast<unsigned>(report.trainParams.colorToleranceMin()));
        said.push_back("the tool labels " + percent(widened) +
                       " of the picture samples, of colours no example shows (the narrowest "
                       "fraction tried, at minimum 2 and neighbourhood 1, leaves them "
                       "unlabelled)" +
                       tolerance +
                       ": if parts of the picture belong to no label, teach labels for them "
                       "too, or give a narrower tolerance by hand");
    }
    const LabelConfusion& c = report.heldOut;
    const auto taking = [&](const LabelConfusion& counts, std::size_t l) {
        std::size_t taker = counts.noneColumn();
        for (std::size_t k = 0; k < labels; ++k)
            if (k != l && counts.count(l, k) > counts.count(l, taker)) taker = k;
        return taker == counts.noneColumn()
                   ? std::string()
                   : ": label " + names[taker] + " takes most of them, so its colours are " +
                         names[taker] + "'s as taught";
    };
    for (std::size_t l = 0; l < labels && l < c.labels(); ++l) {
        const uint64_t pixels = c.truthTotal(l);
        if (pixels > 0 && pixels < kFewHeldOut) {
            said.push_back("label " + names[l] + " is judged on " + std::to_string(pixels) +
                           " held-out pixel" + (pixels == 1 ? "" : "s") +
                           ", too few for its recall, or the estimate that weighs every label "
                           "alike, to say much: give it a larger example");
            continue;
        }
        if (pixels == 0 || c.recall(l) >= 0.1) continue;
        const std::string taker = taking(c, l);
        said.push_back("label " + names[l] + " gets " + percent(c.recall(l)) + " of its " +
                       std::to_string(pixels) + " held-out pixels" +
                       (taker.empty() ? ": most get no label; its examples are too unlike one "
                                        "another"
                                      : taker));
    }
    // The tool written, trained on every example, can lose a label the folds'
    // tools kept: its neighbours' pixels, all there, outweigh it.
    // Labels told apart by ties alone are said to be so already.
    const LabelConfusion& own = report.onExamples;
    for (std::size_t l = 0; l < labels && l < own.labels() && !tiesOnly(report); ++l) {
        const uint64_t pixels = own.truthTotal(l);
        const bool saidHeldOut = l < c.labels() && c.truthTotal(l) > 0 && c.recall(l) < 0.1;
        if (pixels == 0 || own.recall(l) >= 0.1 || saidHeldOut) continue;
        const std::string taker = taking(own, l);
        said.push_back("label " + names[l] + " gets " + percent(own.recall(l)) + " of its " +
                       std::to_string(pixels) + " example pixels from the tool written (trained " +
                       "on every example, neighbourhood " +
                       std::to_string(report.runParams.neighborhoodSize()) + "), though " +
                       percent(c.labels() > l && c.truthTotal(l) > 0 ? c.recall(l) : 0.0) +
                       " of its held-out pixels" + (taker.empty() ? ": most get no label" : taker));
    }
    return said;
}

}  // namespace clsg
