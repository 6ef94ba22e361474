// The clsgsegment element: segments video frames with a trained tool file.
//
//   ... ! videoconvert ! clsgsegment tool=leaves.clsg ! videoconvert ! ...
//
// Input: raw video in RGB, RGBx or BGRx (read in place, no conversion copy).
// Output, by the `output` property: the input with each label's colour
// blended over its pixels (overlay, the default, drawn in place), the label
// image as GRAY8 (label index, 255 where no label scored: byte-identical to
// the library's labelImage() for that frame), or the input unchanged
// (passthrough).
//
// Per frame the element posts an element message named "clsg-segment" on
// the bus and attaches a custom meta of the same name ("ClsgSegmentMeta",
// holding the same structure) to the outgoing buffer. The structure's fields:
// frame (guint64, counted from 0 at start), pts and duration (guint64 clock
// times, GST_CLOCK_TIME_NONE when unknown), time (guint64: pts as the time
// in the stream, which starts at 0 where a clip's first timestamp may not;
// GST_CLOCK_TIME_NONE when unknown), width, height (gint), labels
// (array of the label names), counts (array of guint64 pixel counts per
// label), shares (array of gdouble, each label's share of the frame's
// pixels), unlabelled (gdouble share of pixels no label won), and with the
// `regions` property on, regions (array of guint64: per label, its
// 8-connected regions of at least `min-region-area` pixels).
//
// The tool file is read when the element starts (READY to PAUSED) with the
// budget for files from elsewhere; a missing, corrupt or too costly file
// makes the start fail with a resource error on the bus naming the file and
// the reason. Frames are segmented on `threads` threads in row bands; when
// a live pipeline's sink reports frames arriving late, late frames are
// dropped and reported with QoS messages rather than queued.
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define CLSG_TYPE_SEGMENT (clsg_segment_get_type())
GType clsg_segment_get_type(void);

// The name of the per-frame message and meta.
#define CLSG_SEGMENT_MESSAGE "clsg-segment"
#define CLSG_SEGMENT_META "ClsgSegmentMeta"

// Registers the element (and its meta) with plugin; for the plugin's
// init function, or a program that links the element in
// (clsg_segment_register_static).
gboolean clsg_segment_register(GstPlugin* plugin);
// Registers the plugin "clsg" from within a program; call after gst_init().
gboolean clsg_segment_register_static(void);

G_END_DECLS
