// The colour segmenter: train it with labelled examples, then run it on RGB
// images.
//
// Common rules of the clsg classes:
// - Every class is a value type: copies are independent (pixel buffers are
//   shared handles, as the foundation layer copies them).
// - Failures are exceptions derived from kvException; a call that throws
//   leaves its object as it was, except that a failed train leaves the tool
//   untrained (no sets, default parameters, an empty model).
// - Nothing here starts a thread. One object must not be used from two
//   threads at once, except that several threads may run one trained tool
//   (its const calls) while nobody changes it; different objects may. Another thread can stop
//   a long train, run or image request with ksys_request_abort()
//   (platform/attention.h): the call throws kvAbortRequested.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "clsg/colorseg/composite_color.h"
#include "clsg/colorseg/params.h"
#include "clsg/platform/diag.h"

struct kvCompositeColorSegmenterModel;
class kvCompositeColorSegmenterResult;
class kvCompositeColorSegmenterTool;
class kvArchive;
class kv3PlanePelBuffer;
namespace clsgint {
struct ToolAccess;
}

class kvCompositeColorSegmenterTool {
public:
    // Diagnostic flag bits: records of the inputs (train and run) and of the
    // output images (run). The outputs end with the label image mapped for
    // viewing: label i becomes (i + 1) * (256 / (labels + 1)), and pixels no
    // label claims become 0.
    static constexpr unsigned long kDiagInputs = 0x10000;
    static constexpr unsigned long kDiagOutputs = 0x20000;

    kvCompositeColorSegmenterTool();
    kvCompositeColorSegmenterTool(const kvCompositeColorSegmenterTool& other);
    kvCompositeColorSegmenterTool& operator=(const kvCompositeColorSegmenterTool& other);
    // Moving hands over the trained model without copying it; the moved-from
    // tool is left untrained.
    kvCompositeColorSegmenterTool(kvCompositeColorSegmenterTool&& other);
    kvCompositeColorSegmenterTool& operator=(kvCompositeColorSegmenterTool&& other);
    ~kvCompositeColorSegmenterTool();

    // Equal sets and train parameters (the trained model follows from them).
    // The sets hold handles to the examples' pixels, not copies: pixels or
    // masks changed after training change what compares equal and what is
    // saved, but not the model. Copy an example (kfPelCopy) to change it.
    bool operator==(const kvCompositeColorSegmenterTool& other) const;

    bool isTrained() const { return !compositeColors_.empty(); }
    // Both throw NotTrained on an untrained tool.
    const kvCompositeColorSegmenterTrainParams& trainParams() const;
    const std::vector<kvCompositeColorSet>& compositeColors() const;

    // What the trained model holds: one instance model per example, each a
    // grid of levelsPerChannel^3 colour cells of weights, and the tables the
    // run reads. Throws NotTrained on an untrained tool.
    struct ModelSize {
        std::size_t instanceModels = 0;
        uint32_t levelsPerChannel = 0;
        uint64_t weightBytes = 0;  // every instance model's weights
        uint64_t tableBytes = 0;   // quantisation, tolerance and level tables
    };
    ModelSize modelSize() const;

    // Trains from 1 to 254 sets; set i defines label i. Throws BadParams for
    // no sets, a set without examples, an example without images, or a
    // colorToleranceFrac that is not a finite number training can use;
    // TooManyCompositeColors for more than 254 sets; BadImage for an image in
    // which no pixel is selected. With diagObject and kDiagInputs, records of
    // the parameters and the examples follow a successful train.
    void train(const std::vector<kvCompositeColorSet>& compositeColors,
               const kvCompositeColorSegmenterTrainParams& params,
               kvDiagObject* diagObject = nullptr, unsigned long diagFlags = 0);

    // Scores every pixel of an RGB image against every label into result.
    // Throws kvPel::UnboundWindow for an unbound image, BadColorSpace for a
    // non-RGB one, BadImage for an empty window, BadParams for a
    // neighborhoodSize above kMaxNeighborhoodSize, NotTrained for an
    // untrained tool, kvBadPointer for an image without a transform. A run
    // that throws leaves result as it was.
    void run(const kv3PlanePelBuffer_const& image, const kvCompositeColorSegmenterRunParams& params,
             kvCompositeColorSegmenterResult& result, kvDiagObject* diagObject = nullptr,
             unsigned long diagFlags = 0) const;

private:
    friend kvArchive& operator||(kvArchive&, kvCompositeColorSegmenterTool&);
    friend struct clsgint::ToolAccess;
    void checkTrained() const;
    // privateImage, when bound, is image itself, made by run() and held by
    // nobody else.
    void runInternal(const kv3PlanePelBuffer_const& image,
                     const kvCompositeColorSegmenterRunParams& params,
                     kvCompositeColorSegmenterResult& result,
                     const kv3PlanePelBuffer& privateImage) const;
    void writeTrainRecords(kvDiagObject& diag) const;

    std::vector<kvCompositeColorSet> compositeColors_;
    kvCompositeColorSegmenterTrainParams trainParams_;
    // Never changed once built: training makes a new one, so results and
    // copies of the tool may share it.
    std::shared_ptr<const kvCompositeColorSegmenterModel> model_;
};
