// calibrate dark|white and mask load|save: the flat-field references. A
// reference is taken from a full-sensor frame and kept in a mask file; taking
// the dark and then the white reference into the same file keeps both.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <optional>

#include "Commands.h"
#include "Snapshot.h"
#include "VeltCamSdk.h"

namespace veltcam::tool {
namespace {

bool FileExists(const std::string& fileName) { return std::ifstream(fileName).good(); }

}  // namespace

void AddCalibrateCommands(CLI::App& app, ToolContext& context) {
    static std::string which;
    static std::string output;
    static std::optional<int> exposure;
    static std::optional<int> gain;
    auto* calibrate = app.add_subcommand(
        "calibrate", "take a dark or white flat-field reference into a mask file (full frame)");
    calibrate->add_option("reference", which, "dark or white")
        ->required()
        ->check(CLI::IsMember({"dark", "white"}));
    calibrate
        ->add_option("-o,--output", output, "mask file; an existing one keeps its other reference")
        ->required();
    calibrate->add_option("--exposure", exposure, "exposure time in 0.1 ms units");
    calibrate->add_option("--gain", gain, "sensor gain steps");
    calibrate->callback([&context] {
        CCameraSession session(context.session);
        VeltCamHandle h = session.Handle();
        if (FileExists(output))
            session.Check(VeltCam_LoadMaskFile(h, output.c_str()), "loading " + output);
        if (exposure) session.Check(VeltCam_SetExposureTime(h, *exposure), "--exposure");
        if (gain) session.Check(VeltCam_SetGlobalGain(h, *gain), "--gain");
        // The references are whole-sensor frames: anything smaller is ignored by the SDK.
        session.Check(VeltCam_SetSubSample(h, VELTCAM_SUBSAMPLE_FULL), "full readout");
        session.Check(VeltCam_SetCaptureWindowEx(h, VELTCAM_MAX_WIDTH, 0, VELTCAM_MAX_WIDTH,
                                                 VELTCAM_MAX_HEIGHT, 0, VELTCAM_MAX_HEIGHT),
                      "full-frame window");
        TakeSnapshot(session);
        int selector = which == "dark" ? VELTCAM_MASK_DARK : VELTCAM_MASK_WHITE;
        session.Check(VeltCam_UpdateMaskData(h, selector), "VeltCam_UpdateMaskData");
        session.Check(VeltCam_SaveMaskFile(h, output.c_str()), "saving " + output);
        std::printf("%s reference saved to %s\n", which.c_str(), output.c_str());
    });

    static std::string maskFile;
    auto* mask = app.add_subcommand("mask", "check or write a mask file");
    mask->require_subcommand(1);
    auto* load = mask->add_subcommand("load", "load a mask file and check it");
    load->add_option("file", maskFile, "mask file")->required();
    load->callback([&context] {
        CCameraSession session(context.session);
        session.Check(VeltCam_LoadMaskFile(session.Handle(), maskFile.c_str()),
                      "loading " + maskFile);
        std::printf("%s is a valid mask file\n", maskFile.c_str());
    });
    auto* save = mask->add_subcommand("save", "write the SDK's current references to a mask file");
    save->add_option("file", maskFile, "mask file")->required();
    save->callback([&context] {
        CCameraSession session(context.session);
        session.Check(VeltCam_SaveMaskFile(session.Handle(), maskFile.c_str()),
                      "saving " + maskFile);
        std::printf("saved %s\n", maskFile.c_str());
    });
}

}  // namespace veltcam::tool
