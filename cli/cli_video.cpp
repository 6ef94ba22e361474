#include "cli/cli_video.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "cli/cli_error.h"
#include "cli/interrupts.h"
#include "cli/share_columns.h"
#include "cli/video_gaps.h"
#include "clsg/io/teaching_warnings.h"
#ifdef CLSG_HAVE_LIVE
#include "clsg/live/video_run.h"
#endif

namespace clsg {

namespace fs = std::filesystem;

bool isVideoInput(const std::string& path) {
#ifdef CLSG_HAVE_LIVE
    return hasVideoExtension(path);
#else
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* v : {".mp4", ".m4v", ".mov", ".mkv", ".webm", ".avi"})
        if (ext == v) return true;
    return false;
#endif
}

#ifdef CLSG_HAVE_LIVE

std::vector<std::string> videoOutputNames(const std::string& clip) {
    const std::string name = fs::path(clip).stem().string();
    try {
        return {name + "-overlay" + overlayVideoExtension(), name + "-frames.csv"};
    } catch (const VideoError&) {
        return {};  // runVideoInput says why
    }
}

namespace {

// Frames lost at the end: short of where the video's own packets end, sound
// or not (frames the decoder could not read), else short of the length the
// file states (a file cut short).
void warnFramesMissingAtEnd(const std::string& clip, const std::string& csvName,
                            const std::vector<double>& times, const std::vector<double>& steps,
                            const VideoClipFacts& facts) {
    const double packets = facts.segmentedLastPacket;
    if (const uint64_t missing =
            packets > 0 ? framesMissingAtEnd(times, steps, packets, std::min(0.05 * packets, 1.0))
                        : 0) {
        std::cerr << "clsg: warning: " << oneLine(clip) << ": its last " << missing
                  << (missing == 1 ? " frame" : " frames")
                  << " could not be read (the file holds them up to " << std::fixed
                  << std::setprecision(1) << packets << " s, and the decoder gave none); "
                  << oneLine(csvName) << " holds the frames read\n";
        return;
    }
    if (const uint64_t missing =
            facts.length > 0 ? framesMissingAtEnd(
                                   times, steps, facts.length,
                                   endShortfall(facts.length, facts.otherStreams, facts.lastPacket,
                                                facts.segmentedLastPacket, facts.lastPacketStart))
                             : 0)
        std::cerr << "clsg: warning: " << oneLine(clip) << ": its frames end about " << missing
                  << (missing == 1 ? " frame" : " frames") << " before the " << std::fixed
                  << std::setprecision(1) << facts.length
                  << " s its file states (a file cut short?); " << oneLine(csvName)
                  << " holds the frames read\n";
}

}  // namespace

void runVideoInput(const ToolFile& file, const std::string& clip, const VideoRunOptions& options,
                   OutputFiles& files, std::ostream& out) {
    const std::string name = fs::path(clip).stem().string();
    std::string extension;
    try {
        extension = overlayVideoExtension();
    } catch (const VideoError& e) {
        throw CliError(clip + ": " + e.what());
    }
    const std::string overlayName = name + "-overlay" + extension, csvName = name + "-frames.csv";
    // An output over an input is refused before the clip is read.
    for (const std::string& output : {overlayName, csvName})
        files.refuseInput((fs::path(options.outDir) / output).string());
    const std::string overlay =
        files.stage((fs::path(options.outDir) / overlayName).string(), FinalNameFrom::program);

    std::ostringstream csv;
    csv << "frame,time";
    std::vector<std::string> names;
    for (const ToolLabel& label : file.labels) names.push_back(label.name);
    for (const std::string& column : shareColumns(names, {"frame", "time", "unlabelled"}))
        csv << "," << column;
    csv << ",unlabelled\n" << std::setprecision(6) << std::fixed;
    VideoRunSettings settings;
    settings.toolPath = options.toolPath;
    settings.toolData = options.toolData;
    settings.neighborhood = options.neighborhood;
    settings.normalize = options.normalize;
    settings.threads = options.threads;
    settings.maxPixels = options.maxPixels;
    std::vector<double> times, steps;
    struct FrameSize {
        uint64_t frame;
        int32_t width, height;
    };
    std::vector<FrameSize> sizes;  // the first frame's, and the first other one's
    settings.frame = [&](const VideoFrameReport& r) {
        if (sizes.size() < 2 &&
            (sizes.empty() || r.width != sizes[0].width || r.height != sizes[0].height))
            sizes.push_back({r.frame, r.width, r.height});
        times.push_back(r.seconds);
        steps.push_back(r.frameStep);
        csv << r.frame << ",";
        if (r.seconds >= 0) csv << r.seconds;
        const uint64_t pixels = static_cast<uint64_t>(r.width) * static_cast<uint64_t>(r.height);
        for (double share : r.shares) csv << "," << shareField(share, pixels);
        csv << "," << shareField(r.unlabelled, pixels) << "\n";
    };
    VideoClipFacts facts;
    settings.facts = [&](const VideoClipFacts& f) { facts = f; };
    const bool terminal = ::isatty(STDERR_FILENO);
    settings.progress = [&](double done, uint64_t frames) {
        if (terminal) {
            std::cerr << "\r\033[K" << oneLine(name) << ": ";
            if (done >= 0) std::cerr << static_cast<int>(100 * done) << "%, ";
            std::cerr << frames << " frames" << std::flush;
        }
        return interruptSignal() == 0;
    };
    const auto start = std::chrono::steady_clock::now();
    uint64_t frames = 0;
    try {
        frames = runVideo(clip, overlay, settings);
    } catch (const VideoError& e) {
        if (terminal) std::cerr << "\r\033[K" << std::flush;
        checkInterrupt();
        throw CliError(e.what());
    }
    if (terminal) std::cerr << "\r\033[K" << std::flush;
    checkInterrupt();
    files.writeStaged((fs::path(options.outDir) / csvName).string(), csv.str(),
                      FinalNameFrom::program);
    // The overlay's container states one frame size, the first's or the last's.
    if (sizes.size() == 2)
        std::cerr << "clsg: warning: " << oneLine(clip) << ": its frames change size at frame "
                  << sizes[1].frame << " (" << sizes[0].width << " x " << sizes[0].height << " to "
                  << sizes[1].width << " x " << sizes[1].height << "); " << oneLine(overlayName)
                  << " states one size for all its frames, so a player may show some wrongly ("
                  << oneLine(csvName) << " is not affected)\n";
    // As of an image: frames narrower than the neighbourhood score some pixels 0.
    for (const FrameSize& size : sizes) {
        const std::string narrow =
            narrowImageNote(clip + " (frame " + std::to_string(size.frame) + ")", size.width,
                            size.height, options.neighborhood);
        if (narrow.empty()) continue;
        std::cerr << "clsg: note: " << oneLine(narrow) << "\n";
        break;
    }
    // Damaged frames are dropped by the decoder unannounced: their times show it,
    // unless they stand still.
    const bool still = timesStandStill(times);
    if (still)
        std::cerr << "clsg: warning: " << oneLine(clip)
                  << ": its frames' times do not advance (the file's timestamps are damaged), so "
                     "frames the decoder could not read cannot be told; "
                  << oneLine(csvName) << " numbers the frames read\n";
    else if (const uint64_t skipped = framesSkipped(times, steps))
        std::cerr << "clsg: warning: " << oneLine(clip) << ": the frames' times skip where about "
                  << skipped << (skipped == 1 ? " frame" : " frames")
                  << " would be (frames the decoder could not read, or a clip of varying frame "
                     "rate); "
                  << oneLine(csvName) << " numbers the frames read\n";
    if (const uint64_t missing = still ? 0 : framesMissingAtStart(times, steps, facts.firstPacket))
        std::cerr << "clsg: warning: " << oneLine(clip) << ": its first " << missing
                  << (missing == 1 ? " frame" : " frames")
                  << " could not be read (the file holds them, and the decoder gave none); "
                  << oneLine(csvName) << " numbers the frames read\n";
    if (!still) warnFramesMissingAtEnd(clip, csvName, times, steps, facts);
    if (facts.videoStreams > 1)
        std::cerr << "clsg: note: " << oneLine(clip) << " holds " << facts.videoStreams
                  << " video streams; one is segmented (" << oneLine(csvName)
                  << " holds its frames), "
                  << (facts.videoStreams == 2 ? "the other is" : "the others are") << " not\n";
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    // The time is the segmenting's, not the clip's: said so, as it reads like a length.
    out << oneLine(clip) << ": " << frames << (frames == 1 ? " frame" : " frames")
        << " segmented in " << std::fixed << std::setprecision(1) << took.count() << " s ("
        << static_cast<double>(frames) / std::max(took.count(), 1e-9) << " frames/s); "
        << oneLine(overlayName) << ", " << oneLine(csvName) << std::endl;
}

#else

std::vector<std::string> videoOutputNames(const std::string&) { return {}; }

void runVideoInput(const ToolFile&, const std::string& clip, const VideoRunOptions&, OutputFiles&,
                   std::ostream&) {
    throw CliError(clip +
                   ": this clsg was built without GStreamer, so it reads no video files "
                   "(install GStreamer's development packages, scripts/install-deps, and rebuild)");
}

#endif

}  // namespace clsg
