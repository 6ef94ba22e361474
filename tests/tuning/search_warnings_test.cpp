// What the parameter search's report cannot show, said in words: each rule's
// threshold and its cause.
#include "clsg/tuning/search_warnings.h"

#include <gtest/gtest.h>

#include "clsg/clsg.h"

using namespace clsg;

namespace {

using TrainParams = kvCompositeColorSegmenterTrainParams;

SuggestCandidate candidate(double fraction, uint32_t minimum, double heldOut, double unlabelled) {
    SuggestCandidate c{};
    c.trainParams = TrainParams(fraction, minimum);
    c.balancedAccuracy = heldOut;
    c.pictureUnlabelled = unlabelled;
    c.meanConfidence = 1.0;  // one step of 255: not ties alone
    return c;
}

// Candidates fraction 0.3 with min 40, 0.5 with min 2, and the choice (by default 0.5
// with 2): the widest tried is 0.5 with 40.
// heldOut[t][p] pixels of true label t got label p (p = 2: none).
SuggestReport report(double estimate, double heldOut, double uncovered,
                     std::vector<std::vector<uint64_t>> counts, TrainParams chosen = {0.5, 2}) {
    SuggestReport r;
    r.candidates = {
        candidate(0.3, 40, 0.9, 0.2), candidate(0.5, 2, 0.9, 0.2),
        candidate(chosen.colorToleranceFrac(), chosen.colorToleranceMin(), heldOut, 0.05)};
    r.chosen = r.estimated = 2;
    r.trainParams = chosen;
    r.estimate = estimate;
    r.uncovered = uncovered;
    r.heldOut = LabelConfusion(2);
    for (std::size_t t = 0; t < 2; ++t)
        for (unsigned p = 0; p < 3; ++p) r.heldOut.add(t, p == 2 ? 255 : p, counts[t][p]);
    return r;
}

const std::vector<std::string> kNames = {"a", "b"};
const std::vector<std::vector<uint64_t>> kClear = {{500, 0, 0}, {0, 500, 0}};

}  // namespace

TEST(SearchWarnings, EachRuleAtItsThresholdWithItsCause) {
    // A sound choice: nothing to say. Not the widest: min 2 is below the 40 tried.
    EXPECT_EQ(searchWarnings(kNames, report(0.95, 0.99, 0.3, kClear)), std::vector<std::string>());
    EXPECT_EQ(searchWarnings({"a"}, report(0.95, 0.99, 0.3, kClear)).at(0).substr(0, 40),
              "with one label the search has no other c");

    // Near chance (within a tenth of the way to perfect: 55 % for two labels), and why.
    EXPECT_EQ(searchWarnings(kNames, report(0.551, 0.99, 0.3, kClear)), std::vector<std::string>());
    EXPECT_EQ(searchWarnings(kNames, report(0.55, 0.52, 0.3, {{260, 240, 0}, {240, 260, 0}})),
              std::vector<std::string>{
                  "the estimate (55.0 %) is little or no better than choosing among the 2 labels "
                  "at random (50.0 %): the examples are likely too few or too small to learn "
                  "from, or the labels' colours alike"});
    EXPECT_EQ(searchWarnings(kNames, report(0.481, 1.0, 0.813, kClear)),
              (std::vector<std::string>{
                  "the estimate (48.1 %) is little or no better than choosing among the 2 labels "
                  "at random (50.0 %), though the examples' held-out pixels are told apart "
                  "(100.0 %): 81.3 % of the picture samples hold colours no example shows, and "
                  "they weigh it down; teach labels for the rest of the picture too",
                  "the tool labels 76.3 % of the picture samples, of colours no example shows "
                  "(the narrowest fraction tried, at minimum 2 and neighbourhood 1, leaves them "
                  "unlabelled): if parts of the picture belong to no label, teach labels for them "
                  "too, or give a narrower tolerance by hand"}));

    // Held-out pixels labelled in ties alone: labels of one colour, however far from
    // chance uneven folds put the estimate; said instead of the chance warning.
    const std::string tie =
        "the labels are not told apart: every held-out pixel that got its own label got it in a "
        "tie with another label (confidence 0), settled by the segmenter's rule for ties, not by "
        "colour: the estimate (56.7 %) says nothing; the labels' colours are alike as taught: "
        "teach each on its own colours";
    for (const double estimate : {0.567, 0.5}) {
        SuggestReport tied = report(estimate, 0.567, 0.3, {{300, 200, 0}, {167, 333, 0}});
        tied.candidates[2].meanConfidence = 0.566;  // under 1 over the pixels labelled right
        const std::vector<std::string> said = searchWarnings(kNames, tied);
        EXPECT_EQ(said.size(), 1u);
        EXPECT_EQ(said.at(0).substr(0, 60), tie.substr(0, 60));
        if (estimate > 0.55) {
            EXPECT_EQ(said.at(0), tie);
        }
    }
    SuggestReport sure = report(0.567, 0.567, 0.3, {{300, 200, 0}, {167, 333, 0}});
    sure.candidates[2].meanConfidence = 0.567;  // 1 over the pixels labelled right
    EXPECT_TRUE(searchWarnings(kNames, sure).empty());
    // No held-out pixel labelled right is no tie: the chance warning says it.
    SuggestReport none = report(0.0, 0.0, 0.3, {{0, 0, 500}, {0, 0, 500}});
    none.candidates[2].meanConfidence = 0;
    EXPECT_EQ(searchWarnings(kNames, none).at(0).substr(0, 30), "the estimate (0.0 %) is little");

    // Much of the picture labelled that the narrowest setting leaves unlabelled (uncovered
    // less the 5 % the choice leaves), or any of it at the widest tolerance tried.
    const std::string much =
        "the tool labels 50.0 % of the picture samples, of colours no example shows (the "
        "narrowest fraction tried, at minimum 2 and neighbourhood 1, leaves them unlabelled): if "
        "parts of the picture belong to no label, teach labels for them too, or give a narrower "
        "tolerance by hand";
    EXPECT_EQ(searchWarnings(kNames, report(0.9, 0.99, 0.55, kClear)),
              std::vector<std::string>{much});
    EXPECT_TRUE(searchWarnings(kNames, report(0.9, 0.99, 0.549, kClear)).empty());
    EXPECT_EQ(searchWarnings(kNames, report(0.9, 0.99, 0.3, kClear, {0.5, 40})),
              std::vector<std::string>{
                  "the tool labels 25.0 % of the picture samples, of colours no example shows "
                  "(the narrowest fraction tried, at minimum 2 and neighbourhood 1, leaves them "
                  "unlabelled), at the widest tolerance the search tries (fraction 0.5, minimum "
                  "40): if parts of the picture belong "
                  "to no label, teach labels for them too, or give a narrower tolerance by hand"});
    EXPECT_TRUE(searchWarnings(kNames, report(0.9, 0.99, 0.05, kClear, {0.5, 40})).empty());
    EXPECT_TRUE(searchWarnings(kNames, report(0.9, 0.99, 0.3, kClear, {0.3, 40})).empty());

    // A label judged on too few pixels; one whose pixels another label or none takes.
    EXPECT_EQ(searchWarnings(kNames, report(0.9, 0.99, 0.3, {{500, 0, 0}, {0, 99, 0}})),
              std::vector<std::string>{
                  "label b is judged on 99 held-out pixels, too few for its recall, or the "
                  "estimate that weighs every label alike, to say much: give it a larger "
                  "example"});
    EXPECT_TRUE(searchWarnings(kNames, report(0.9, 0.99, 0.3, {{500, 0, 0}, {0, 100, 0}})).empty());
    EXPECT_EQ(searchWarnings(kNames, report(0.9, 0.99, 0.3, {{10, 90, 0}, {0, 500, 0}})),
              std::vector<std::string>());  // a tenth: not under it
    EXPECT_EQ(searchWarnings(kNames, report(0.9, 0.99, 0.3, {{500, 0, 0}, {256, 0, 0}})),
              std::vector<std::string>{"label b gets 0.0 % of its 256 held-out pixels: label a "
                                       "takes most of them, so its colours are a's as taught"});
    EXPECT_EQ(searchWarnings(kNames, report(0.9, 0.99, 0.3, {{9, 0, 91}, {0, 500, 0}})),
              std::vector<std::string>{"label a gets 9.0 % of its 100 held-out pixels: most get "
                                       "no label; its examples are too unlike one another"});

    // A label the tool written (trained on every example) loses where the folds' tools kept
    // it; not said again of one whose held-out pixels were lost already.
    const auto onExamples = [](SuggestReport r, std::vector<std::vector<uint64_t>> counts) {
        r.runParams = kvCompositeColorSegmenterRunParams(9, false);
        r.onExamples = LabelConfusion(2);
        for (std::size_t t = 0; t < 2; ++t)
            for (unsigned p = 0; p < 3; ++p) r.onExamples.add(t, p == 2 ? 255 : p, counts[t][p]);
        return r;
    };
    const SuggestReport kept = report(0.9, 0.99, 0.3, {{500, 0, 0}, {239, 261, 0}});
    EXPECT_EQ(searchWarnings(kNames, onExamples(kept, {{600, 0, 0}, {271, 29, 0}})),
              std::vector<std::string>{
                  "label b gets 9.7 % of its 300 example pixels from the tool written (trained on "
                  "every example, neighbourhood 9), though 52.2 % of its held-out pixels: label "
                  "a takes most of them, so its colours are a's as taught"});
    EXPECT_TRUE(searchWarnings(kNames, onExamples(kept, {{600, 0, 0}, {270, 30, 0}})).empty());
    EXPECT_EQ(searchWarnings(kNames, onExamples(kept, {{600, 0, 0}, {0, 10, 290}})),
              std::vector<std::string>{
                  "label b gets 3.3 % of its 300 example pixels from the tool written (trained on "
                  "every example, neighbourhood 9), though 52.2 % of its held-out pixels: most "
                  "get no label"});
    EXPECT_EQ(searchWarnings(kNames, onExamples(report(0.9, 0.99, 0.3, {{500, 0, 0}, {256, 0, 0}}),
                                                {{600, 0, 0}, {300, 0, 0}}))
                  .size(),
              1u);
    // Labels told apart by ties alone: said so, and no more of the tool written.
    SuggestReport tiedLost = onExamples(report(0.567, 0.567, 0.3, {{300, 200, 0}, {167, 333, 0}}),
                                        {{600, 0, 0}, {300, 0, 0}});
    tiedLost.candidates[2].meanConfidence = 0.566;
    EXPECT_EQ(searchWarnings(kNames, tiedLost), std::vector<std::string>{tie});
}
