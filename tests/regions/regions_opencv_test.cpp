// Regions of the demo photograph's label image against OpenCV's
// connectedComponentsWithStats on a binary image per label: the same
// regions, with the same areas, boxes and centroids.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <tuple>
#include <vector>

#include "clsg/io/image_io.h"
#include "clsg/clsg.h"
#include "clsg/regions/regions.h"

namespace {

kvPelBuffer<unsigned char> demoLabels() {
    const kv3PlanePelBuffer photo = clsg::readColorImage(CLSG_DEMO_PHOTO);
    // Crema, white china, red china, table, the front of the cup.
    const std::vector<std::vector<kvPelRect>> rects = {
        {{250, 120, 75, 45}},
        {{250, 45, 80, 30}, {180, 95, 12, 40}},
        {{100, 190, 50, 90}, {415, 180, 40, 70}},
        {{470, 20, 110, 60}, {10, 350, 120, 45}, {15, 180, 50, 100}, {100, 40, 60, 40}},
        {{265, 215, 50, 30}},
    };
    std::vector<kvCompositeColorSet> sets;
    for (const auto& label : rects) {
        kvPelBuffer<unsigned char> mask(photo.window());
        kfPelSet(mask, static_cast<unsigned char>(0));
        for (const kvPelRect& r : label)
            for (long y = r.top(); y < r.bottom(); ++y)
                std::memset(mask.pointToPel(r.left(), y), 255, r.width());
        sets.push_back(kvCompositeColorSet({kvCompositeColor(photo, mask)}));
    }
    kvCompositeColorSegmenterTool tool;
    tool.train(sets, kvCompositeColorSegmenterTrainParams());
    kvCompositeColorSegmenterResult result;
    // Without a neighbourhood the labels are speckled: many regions.
    tool.run(photo, kvCompositeColorSegmenterRunParams(1, false), result);
    return kfPelCopy(result.labelImage());
}

using Row = std::tuple<long, long, long, long, uint64_t, double, double>;

TEST(RegionsOpenCv, DemoPhotoMatchesConnectedComponentsPerLabel) {
    const kvPelBuffer<unsigned char> labels = demoLabels();
    const cv::Mat mat(static_cast<int>(labels.height()), static_cast<int>(labels.width()), CV_8U,
                      labels.pointToRow(0), static_cast<std::size_t>(labels.rowStride()));
    for (int connectivity : {4, 8}) {
        clsg::RegionOptions options;
        options.connectivity = connectivity;
        const auto table = clsg::findRegions(labels, {}, options);
        std::size_t total = 0;
        for (int label = 0; label < 5; ++label) {
            cv::Mat mask, components, stats, centroids;
            cv::compare(mat, label, mask, cv::CMP_EQ);
            const int n = cv::connectedComponentsWithStats(mask, components, stats, centroids,
                                                           connectivity, CV_32S);
            std::vector<Row> theirs, ours;
            for (int i = 1; i < n; ++i)
                theirs.emplace_back(
                    stats.at<int>(i, cv::CC_STAT_TOP), stats.at<int>(i, cv::CC_STAT_LEFT),
                    stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT),
                    stats.at<int>(i, cv::CC_STAT_AREA), centroids.at<double>(i, 0),
                    centroids.at<double>(i, 1));
            for (const clsg::Region& r : table)
                if (r.label == label)
                    ours.emplace_back(r.top, r.left, r.width, r.height, r.area, r.centroidX,
                                      r.centroidY);
            std::sort(theirs.begin(), theirs.end());
            std::sort(ours.begin(), ours.end());
            EXPECT_EQ(ours, theirs) << "label " << label << ", connectivity " << connectivity;
            total += ours.size();
        }
        EXPECT_EQ(total, table.size());
        EXPECT_GT(total, 100u);  // the comparison covers many regions
    }
}

}  // namespace
