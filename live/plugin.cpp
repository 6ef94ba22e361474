// The loadable plugin "clsg" (libgstclsg.so), holding the clsgsegment element.
#include "clsg/live/segment_element.h"

#ifndef PACKAGE
#define PACKAGE "clsg"
#endif

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, clsg,
                  "Colour segmentation with trained clsg tools", clsg_segment_register, "0.1.0",
                  "Proprietary", "clsg", "clsg")
