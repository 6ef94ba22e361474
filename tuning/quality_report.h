// How well labels are found, for a person (tables) and for machines (JSON):
// the confusion matrix with its measures, and the parameter search's report.
#pragma once

#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "clsg/tuning/label_confusion.h"
#include "clsg/tuning/suggest_params.h"

namespace clsg {

// A share (0 to 1) as a percentage with one decimal, "12.3": never "0.0" for
// a share above 0 nor "100.0" for one below 1 ("<0.1" and ">99.9" then).
std::string percentText(double share);

// Accuracy, balanced accuracy, per-label recall and precision, and the
// confusion matrix (rows: true label, columns: label given, then "none").
// These and the report's writers take one name per label (BadParams
// otherwise).
void printConfusion(std::ostream& out, const std::vector<std::string>& names,
                    const clsg::LabelConfusion& confusion);
nlohmann::json confusionJson(const std::vector<std::string>& names,
                             const clsg::LabelConfusion& confusion);

// Every candidate's score, the choice, and the choice's held-out measures.
void printSuggestReport(std::ostream& out, const std::vector<std::string>& names,
                        const clsg::SuggestReport& report);
nlohmann::json suggestReportJson(const std::vector<std::string>& names,
                                 const clsg::SuggestReport& report);

// What `clsg info` shows of the report train --auto stores in a tool file
// (suggestReportJson's text): the choice and its held-out estimate. Prints
// nothing and returns false when the text is not such a report for these
// labels.
bool printStoredReport(std::ostream& out, const std::vector<std::string>& names,
                       const std::string& json);

}  // namespace clsg
