#include "clsg/tuning/quality_report.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "clsg/colorseg/errors.h"

namespace clsg {

std::string percentText(double share) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(1) << 100.0 * share;
    if (s.str() == "0.0" && share > 0) return "<0.1";
    if (s.str() == "100.0" && share < 1) return ">99.9";
    return s.str();
}

namespace {

std::string percent(double v) { return std::isnan(v) ? "-" : percentText(v) + " %"; }

// A measure for JSON: null where it is undefined.
nlohmann::json number(double v) { return std::isnan(v) ? nlohmann::json() : nlohmann::json(v); }

// The heading of the column of pixels given no label: "none", in as many
// parentheses as it takes to be no label's name.
std::string unlabelledHeading(const std::vector<std::string>& names) {
    std::string heading = "none";
    while (std::find(names.begin(), names.end(), heading) != names.end())
        heading = "(" + heading + ")";
    return heading;
}

// One name per label of the matrix, or BadParams before anything is written.
void checkNames(const std::vector<std::string>& names, std::size_t labels) {
    if (names.size() != labels)
        throw kvCompositeColorSegmenterDefs::BadParams(std::to_string(names.size()) +
                                                       " label names for " +
                                                       std::to_string(labels) + " labels");
}

}  // namespace

void printConfusion(std::ostream& out, const std::vector<std::string>& names,
                    const clsg::LabelConfusion& c) {
    checkNames(names, c.labels());
    out << "accuracy " << percent(c.accuracy()) << ", balanced accuracy "
        << percent(c.balancedAccuracy()) << " over " << c.total() << " pixels\n";
    std::size_t width = 6;
    for (const std::string& n : names) width = std::max(width, n.size() + 2);
    const int w = static_cast<int>(width);
    out << std::left << std::setw(w) << "label" << std::right << std::setw(10) << "pixels"
        << std::setw(10) << "recall" << std::setw(11) << "precision"
        << "\n";
    for (std::size_t l = 0; l < c.labels(); ++l)
        out << std::left << std::setw(w) << names[l] << std::right << std::setw(10)
            << c.truthTotal(l) << std::setw(10) << percent(c.recall(l)) << std::setw(11)
            << percent(c.precision(l)) << "\n";
    // The columns stay apart however large the counts, and the heading of
    // the unlabelled column ("(none)" beside a label named none).
    const std::string none = unlabelledHeading(names);
    std::size_t column = std::max(width, none.size() + 2);
    for (std::size_t t = 0; t < c.labels(); ++t)
        for (std::size_t p = 0; p <= c.labels(); ++p)
            column = std::max(column, std::to_string(c.count(t, p)).size() + 2);
    const int cw = static_cast<int>(column);
    out << "confusion (rows: true label, columns: label given):\n"
        << std::left << std::setw(w) << "" << std::right;
    for (const std::string& n : names) out << std::setw(cw) << n;
    out << std::setw(cw) << none << "\n";
    for (std::size_t t = 0; t < c.labels(); ++t) {
        out << std::left << std::setw(w) << names[t] << std::right;
        for (std::size_t p = 0; p <= c.labels(); ++p) out << std::setw(cw) << c.count(t, p);
        out << "\n";
    }
}

nlohmann::json confusionJson(const std::vector<std::string>& names, const clsg::LabelConfusion& c) {
    checkNames(names, c.labels());
    nlohmann::json labels = nlohmann::json::array(), matrix = nlohmann::json::array();
    for (std::size_t l = 0; l < c.labels(); ++l) {
        labels.push_back({{"name", names[l]},
                          {"pixels", c.truthTotal(l)},
                          {"recall", number(c.recall(l))},
                          {"precision", number(c.precision(l))}});
        nlohmann::json row = nlohmann::json::array();
        for (std::size_t p = 0; p <= c.labels(); ++p) row.push_back(c.count(l, p));
        matrix.push_back(row);
    }
    return {{"pixels", c.total()},
            {"accuracy", number(c.accuracy())},
            {"balancedAccuracy", number(c.balancedAccuracy())},
            {"labels", labels},
            {"confusion", matrix},
            {"confusionColumns", "labels in order, then none"}};
}

void printSuggestReport(std::ostream& out, const std::vector<std::string>& names,
                        const clsg::SuggestReport& r) {
    checkNames(names, r.heldOut.labels());
    out << "cross-validation: " << r.folds << " folds of "
        << (r.unit == clsg::FoldUnit::tiles ? "" : "whole examples, scored in ") << r.tileSize
        << " x " << r.tileSize << " tiles, " << r.trainings << " trainings\n";
    // Balanced accuracy of the held-out pixels, the share of the picture
    // samples left unlabelled, and the score (the first times one less the second).
    out << std::left << std::setw(16) << "stage" << std::right << std::setw(7) << "frac"
        << std::setw(5) << "min" << std::setw(4) << "N" << std::setw(11) << "held-out"
        << std::setw(12) << "unlabelled" << std::setw(9) << "score" << std::setw(12) << "confidence"
        << std::setw(9) << "samples"
        << "\n";
    for (std::size_t i = 0; i < r.candidates.size(); ++i) {
        const clsg::SuggestCandidate& c = r.candidates[i];
        // Tool files of earlier versions keep wide sizes judged by the picture
        // samples alone, without held-out figures.
        const bool held = c.folds > 0;
        std::ostringstream frac, confidence, samples;
        frac << c.trainParams.colorToleranceFrac();
        confidence << std::fixed << std::setprecision(1) << c.meanConfidence;
        samples << std::fixed << std::setprecision(1) << c.pictureConfidence;
        out << std::left << std::setw(16) << c.stage << std::right << std::setw(7) << frac.str()
            << std::setw(5) << c.trainParams.colorToleranceMin() << std::setw(4)
            << c.runParams.neighborhoodSize() << std::setw(11)
            << (held ? percent(c.balancedAccuracy) : "-") << std::setw(12)
            << percent(c.pictureUnlabelled) << std::setw(9) << (held ? percent(c.score) : "-")
            << std::setw(12) << (held ? confidence.str() : "-") << std::setw(9) << samples.str()
            << (i == r.chosen ? "  <- chosen" : "");
        // A candidate that could not win any more stopped early.
        if (held && c.folds < r.folds) out << "  (" << c.folds << " of " << r.folds << " folds)";
        out << "\n";
    }
    if (!r.overBudget.empty()) {
        out << "not tried, over the training budget:";
        for (std::size_t i = 0; i < r.overBudget.size(); ++i)
            out << (i ? ", " : " ") << "colorToleranceFrac " << r.overBudget[i].colorToleranceFrac()
                << " with colorToleranceMin " << r.overBudget[i].colorToleranceMin();
        out << "\n";
    }
    out << "chosen: colorToleranceFrac " << r.trainParams.colorToleranceFrac()
        << ", colorToleranceMin " << r.trainParams.colorToleranceMin() << ", neighborhood "
        << r.runParams.neighborhoodSize() << "\n";
    if (!r.candidates.empty()) {
        const clsg::SuggestCandidate& c = r.candidates[r.estimated];
        const bool wide = r.estimated != r.chosen;
        out << "estimate: balanced accuracy " << percent(r.estimate);
        if (wide) out << " as judged at neighbourhood " << c.runParams.neighborhoodSize();
        out << " (held-out example pixels " << percent(c.balancedAccuracy) << ", times "
            << percent(clsg::labelledFactor(r)) << ": the share of the picture samples labelled, "
            << percent(1.0 - c.pictureUnlabelled) << ", less a tenth of the "
            << percent(clsg::widenedShare(r)) << " it labels that the narrowest fraction tried ("
            << r.uncoveredFraction << ", at minimum "
            << kvCompositeColorSegmenterTrainParams().colorToleranceMin()
            << " and neighbourhood 1) leaves unlabelled); ";
        if (wide)
            out << "held-out pixels cannot show what neighbourhood "
                << r.runParams.neighborhoodSize() << " does at the boundaries between labels, and ";
        out << "how often a colour no example holds gets a wrong label is assumed, not measured\n";
    }
    out << "held-out pixels: ";
    printConfusion(out, names, r.heldOut);
}

nlohmann::json suggestReportJson(const std::vector<std::string>& names,
                                 const clsg::SuggestReport& r) {
    nlohmann::json candidates = nlohmann::json::array();
    for (const clsg::SuggestCandidate& c : r.candidates)
        candidates.push_back({{"stage", c.stage},
                              {"colorToleranceFrac", c.trainParams.colorToleranceFrac()},
                              {"colorToleranceMin", c.trainParams.colorToleranceMin()},
                              {"neighborhoodSize", c.runParams.neighborhoodSize()},
                              {"folds", c.folds},
                              {"balancedAccuracy", number(c.balancedAccuracy)},
                              {"foldZeroBalancedAccuracy", number(c.foldZeroAccuracy)},
                              {"meanConfidence", number(c.meanConfidence)},
                              {"pictureUnlabelled", c.pictureUnlabelled},
                              {"pictureConfidence", c.pictureConfidence},
                              {"score", number(c.score)}});
    nlohmann::json estimate = nullptr;
    if (!r.candidates.empty()) {
        const clsg::SuggestCandidate& c = r.candidates[r.estimated];
        estimate = {{"balancedAccuracy", number(r.estimate)},
                    {"heldOutBalancedAccuracy", number(c.balancedAccuracy)},
                    {"pictureUnlabelled", c.pictureUnlabelled},
                    {"uncovered", r.uncovered},
                    {"uncoveredFraction", r.uncoveredFraction},
                    {"neighborhoodSize", c.runParams.neighborhoodSize()}};
    }
    nlohmann::json overBudget = nlohmann::json::array();
    for (const kvCompositeColorSegmenterTrainParams& p : r.overBudget)
        overBudget.push_back({{"colorToleranceFrac", p.colorToleranceFrac()},
                              {"colorToleranceMin", p.colorToleranceMin()}});
    return {{"folds", r.folds},
            {"tileSize", r.tileSize},
            {"trainings", r.trainings},
            {"candidates", candidates},
            {"overBudget", overBudget},
            {"chosen",
             {{"index", r.chosen},
              {"colorToleranceFrac", r.trainParams.colorToleranceFrac()},
              {"colorToleranceMin", r.trainParams.colorToleranceMin()},
              {"neighborhoodSize", r.runParams.neighborhoodSize()}}},
            {"estimate", estimate},
            {"heldOut", confusionJson(names, r.heldOut)}};
}

namespace {

struct Malformed {};

// A whole number of a stored report (a count, a size), never converted from
// a fraction or a negative value.
uint64_t whole(const nlohmann::json& v) {
    if (!v.is_number_unsigned()) throw Malformed();
    return v.get<uint64_t>();
}

}  // namespace

bool printStoredReport(std::ostream& out, const std::vector<std::string>& names,
                       const std::string& json) {
    std::ostringstream text;
    try {
        const nlohmann::json r = nlohmann::json::parse(json);
        const nlohmann::json& chosen = r.at("chosen");
        const nlohmann::json& rows = r.at("heldOut").at("confusion");
        const nlohmann::json& frac = chosen.at("colorToleranceFrac");
        if (!rows.is_array() || rows.size() != names.size() || !frac.is_number() ||
            !r.at("candidates").is_array())
            return false;
        clsg::LabelConfusion confusion(names.size());
        uint64_t total = 0;  // counts no search makes would wrap the sums round
        for (std::size_t t = 0; t < names.size(); ++t) {
            if (!rows[t].is_array() || rows[t].size() != names.size() + 1) return false;
            for (std::size_t p = 0; p <= names.size(); ++p) {
                const uint64_t count = whole(rows[t][p]);
                if (count > UINT64_MAX - total) return false;
                total += count;
                confusion.add(t, static_cast<unsigned>(p), count);
            }
        }
        const uint64_t tile = whole(r.at("tileSize"));
        text << "chosen by train --auto from " << r.at("candidates").size()
             << " candidates (cross-validation, " << whole(r.at("folds")) << " folds of " << tile
             << " x " << tile << " tiles): colorToleranceFrac " << frac.get<double>()
             << ", colorToleranceMin " << whole(chosen.at("colorToleranceMin")) << ", neighborhood "
             << whole(chosen.at("neighborhoodSize")) << "\n";
        const auto estimate = r.find("estimate");
        if (estimate != r.end() && estimate->is_object() &&
            estimate->at("balancedAccuracy").is_number()) {
            text << "estimate: balanced accuracy "
                 << percent(estimate->at("balancedAccuracy").get<double>());
            // A wide size is judged by its lead's estimate (see the search).
            const auto judged = estimate->find("neighborhoodSize");
            if (judged != estimate->end() && judged->is_number_integer() &&
                *judged != chosen.at("neighborhoodSize"))
                text << " as judged at neighbourhood " << whole(*judged);
            text << "\n";
        }
        text << "held-out pixels: ";
        printConfusion(text, names, confusion);
    } catch (const nlohmann::json::exception&) {
        return false;
    } catch (const Malformed&) {
        return false;
    }
    out << text.str();
    return true;
}

}  // namespace clsg
