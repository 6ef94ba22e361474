// Archive operators of the public classes: one operator stores or loads,
// following the archive's direction.
//
// Loading is all or nothing: an operator that throws (bad bytes, an unknown
// version, data the classes' own checks refuse, a stored tool that does not
// train) leaves its target exactly as it was. A loaded tool is trained again
// from its stored examples and parameters, with no bound on that training's
// memory unless a budget is in force: load files from elsewhere under
// kvCompositeColorSegmenterBudgetScope(kvCompositeColorSegmenterBudget::
// forUntrustedFiles()) (budget.h), since a file of a few kilobytes can ask
// for gigabytes.
#pragma once

#include "clsg/colorseg/composite_color.h"
#include "clsg/colorseg/params.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/platform/archive.h"

kvArchive& operator||(kvArchive& archive, kvCompositeColor& example);
kvArchive& operator||(kvArchive& archive, kvCompositeColorSet& set);
kvArchive& operator||(kvArchive& archive, kvCompositeColorSegmenterTrainParams& params);
kvArchive& operator||(kvArchive& archive, kvCompositeColorSegmenterRunParams& params);
kvArchive& operator||(kvArchive& archive, kvCompositeColorSegmenterTool& tool);
kvArchive& operator||(kvArchive& archive, kvCompositeColorSegmenterResult& result);
