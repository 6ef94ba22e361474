// A client of the installed package: reads a tool file written by
// `clsg train`, segments an image with it on two threads and writes the label
// image, all through the installed headers and libraries. Also checks that
// registration of the error classes survived the static link.
//   consumer TOOL.clsg IMAGE LABELS.png
#include <clsg/clsg.h>
#include <clsg/io/image_io.h>
#include <clsg/io/tool_file.h>
#include <clsg/tiled/tiled_run.h>

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::puts("usage: consumer TOOL.clsg IMAGE LABELS.png");
        return 2;
    }
    if (!kv_Instantiator::find("kvCompositeColorSegmenterDefs::BadImage")) {
        std::puts("error classes are not registered");
        return 1;
    }
    try {
        const clsg::ToolFile file = clsg::readToolFile(argv[1]);
        const kv3PlanePelBuffer image = clsg::readColorImage(argv[2]);
        kvCompositeColorSegmenterRunParams params(file.neighborhoodSize.value_or(3));
        clsg::TiledOptions options;
        options.threads = 2;
        const clsg::TiledImages images = clsg::tiledRun(file.tool, image, params, {}, options);
        clsg::writeGreyImage(argv[3], images.label, clsg::ImageFormat::Png);
        std::printf("%zu labels, %ld x %ld pixels segmented\n", file.labels.size(), image.width(),
                    image.height());
    } catch (const std::exception& e) {
        std::printf("error: %s\n", e.what());
        return 1;
    }
    return 0;
}
