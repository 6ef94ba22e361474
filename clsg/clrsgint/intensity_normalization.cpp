#include "clsg/clrsgint/intensity_normalization.h"

#include "clsg/clrsgint/label_scores.h"
#include "clsg/platform/pel_ops.h"

std::vector<unsigned char> clsgint::makeGainTable(double gain) {
    std::vector<unsigned char> table(256);
    for (int i = 0; i < 256; ++i)
        table[i] =
            static_cast<unsigned char>(kfILimit(iRound(static_cast<float>(i * gain)), 0, 255));
    return table;
}

kv3PlanePelBuffer clsgint::mapPlanes(const kv3PlanePelBuffer_const& source,
                                     const std::vector<unsigned char>& table) {
    return kv3PlanePelBuffer(kfPelMap(source.plane0(), table), kfPelMap(source.plane1(), table),
                             kfPelMap(source.plane2(), table), source.colorSpace());
}

double clsgint::intensityObjective(const kvCompositeColorSegmenterModel& model,
                                   const kvCompositeColorSegmenterRunParams& searchParams,
                                   const kv3PlanePelBuffer_const& image) {
    std::vector<kvPelBuffer<double>> scores;
    clsgint::computeLabelScores(model, image, searchParams, scores);
    const kvPelRect& w = scores.at(0).window();
    // M = the best score at each pixel; the labels after the first replace it
    // only where strictly greater.
    kvPelBuffer<double> best = kfPelCopy(scores[0]);
    for (std::size_t l = 1; l < scores.size(); ++l)
        for (long y = w.top(); y < w.bottom(); ++y) {
            double* m = best.pointToRow(y);
            const double* s = scores[l].pointToRow(y);
            for (long x = 0; x < w.width(); ++x)
                if (s[x] > m[x]) m[x] = s[x];
        }
    double sum = 0.0;
    for (long y = w.top(); y < w.bottom(); ++y) {
        const double* m = best.pointToRow(y);
        for (long x = 0; x < w.width(); ++x) sum += m[x];
    }
    return sum;
}

double clsgint::searchIntensityGain(const kvCompositeColorSegmenterModel& model,
                                    const kvCompositeColorSegmenterRunParams& params,
                                    const kv3PlanePelBuffer_const& image) {
    const kv3PlanePelBuffer_const sample(
        kv3PlanePelBuffer(kfPelSample(image.plane0(), 10, 10), kfPelSample(image.plane1(), 10, 10),
                          kfPelSample(image.plane2(), 10, 10), image.colorSpace()));
    return searchIntensityGainOnSample(model, params, sample);
}

double clsgint::searchIntensityGainOnSample(const kvCompositeColorSegmenterModel& model,
                                            const kvCompositeColorSegmenterRunParams& params,
                                            const kv3PlanePelBuffer_const& sample) {
    kvCompositeColorSegmenterRunParams search(params);
    search.neighborhoodSize(1);
    search.normalizeIntensity(false);

    double best = clsgint::intensityObjective(model, search, sample);
    double gain = 1.0;
    double step = 0.5;
    // Each round either moves to a strictly better gain or halves the step;
    // the objective takes finitely many values, so the search ends.
    do {
        const double low = gain - step;
        const double fLow = clsgint::intensityObjective(
            model, search, clsgint::mapPlanes(sample, clsgint::makeGainTable(low)));
        const double high = step + gain;
        const double fHigh = clsgint::intensityObjective(
            model, search, clsgint::mapPlanes(sample, clsgint::makeGainTable(high)));
        if (fLow > best && fLow > fHigh) {
            gain = low;
            best = fLow;
        } else if (fHigh > best && fHigh > fLow) {
            gain = high;
            best = fHigh;
        } else {
            step = step * 0.5;
        }
    } while (step > 0.001);
    return gain;
}
