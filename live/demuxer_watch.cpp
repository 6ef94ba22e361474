#include "demuxer_watch.h"

namespace clsg {

namespace {

// Whether the pad carries video.
bool isVideo(GstPad* pad) {
    GstCaps* caps = gst_pad_get_current_caps(pad);
    const GstStructure* s =
        caps && gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
    const bool video = s && g_str_has_prefix(gst_structure_get_name(s), "video/");
    if (caps) gst_caps_unref(caps);
    return video;
}

// Whether a video stream ended into a pad linked to nothing: a demuxer's
// next stream (a second file joined to the first) that no one took. (A sound
// track, left unlinked from the start, ends so as a matter of course.)
bool endLost(GstElement* pipeline) {
    bool lost = false;
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(pipeline));
    GValue item = G_VALUE_INIT;
    while (!lost && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        GstIterator* pads = gst_element_iterate_src_pads(GST_ELEMENT(g_value_get_object(&item)));
        GValue padItem = G_VALUE_INIT;
        while (!lost && gst_iterator_next(pads, &padItem) == GST_ITERATOR_OK) {
            GstPad* pad = GST_PAD(g_value_get_object(&padItem));
            GstPad* peer = gst_pad_get_peer(pad);
            lost = GST_PAD_IS_EOS(pad) && !peer && isVideo(pad);
            if (peer) gst_object_unref(peer);
            g_value_reset(&padItem);
        }
        g_value_unset(&padItem);
        gst_iterator_free(pads);
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return lost;
}

}  // namespace

GaveUp demuxerGaveUp(GstElement* pipeline) {
    const bool lost = endLost(pipeline);
    GaveUp gaveUp = GaveUp::no;
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(pipeline));
    GValue item = G_VALUE_INIT;
    while (gaveUp == GaveUp::no && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        GstElement* e = GST_ELEMENT(g_value_get_object(&item));
        GST_OBJECT_LOCK(e);
        bool paused = false;
        for (GList* l = e->sinkpads; l && !paused; l = l->next)
            paused = GST_PAD_MODE(GST_PAD(l->data)) == GST_PAD_MODE_PULL &&
                     gst_pad_get_task_state(GST_PAD(l->data)) == GST_TASK_PAUSED;
        // A stream that ended (unless into nothing): the task pauses when done. An element whose
        // output the next one pulls (typefind before a demuxer) has paused its
        // task for good once the type was found: the puller drives the stream.
        bool ended = false, pulledFrom = false;
        for (GList* l = e->srcpads; l; l = l->next) {
            ended = ended || GST_PAD_IS_EOS(l->data);
            pulledFrom = pulledFrom || GST_PAD_MODE(GST_PAD(l->data)) == GST_PAD_MODE_PULL;
        }
        if (paused && (!ended || lost) && !pulledFrom)
            gaveUp = e->numsrcpads == 0 ? GaveUp::beforeStreams : GaveUp::midStream;
        GST_OBJECT_UNLOCK(e);
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return gaveUp;
}

bool GiveUpWatch::ended(GstElement* pipeline) {
    last = demuxerGaveUp(pipeline);
    seen = last == GaveUp::no ? 0 : seen + 1;
    return seen >= (last == GaveUp::beforeStreams ? 2 : 10);
}

}  // namespace clsg
