// clsg: teach colour classes by example, then segment RGB images.
//
// The one header a client needs. See README.md for a walk-through.
#pragma once

#include "clsg/colorseg/archive_operators.h"
#include "clsg/colorseg/budget.h"
#include "clsg/colorseg/composite_color.h"
#include "clsg/colorseg/errors.h"
#include "clsg/colorseg/intensity_gain.h"
#include "clsg/colorseg/params.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/platform/attention.h"
#include "clsg/platform/diag.h"
#include "clsg/platform/pel_ops.h"
#include "clsg/platform/three_plane.h"
