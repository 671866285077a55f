// Detection figures on a folder laid out like wider-val/ (faces_bbx_gt.txt in the WIDER format
// and images/): our cascades and, in the OpenCV build, OpenCV's cascades on the same pictures
// with the same threads, each detector's boxes as found. Recall over the faces at least 20 px
// wide that are valid and not heavily occluded (and over all faces) and false positives per
// image, at IoU 0.5 and 0.3, for every Detector.ClusterScore and every minNeighbors 0 .. 8;
// time per picture; for every point of each OpenCV curve our best recall at no more false
// positives. Enlarging the pictures and re-framing the boxes are extra columns, applied to
// every detector alike (a framing per detector label, e.g. the medians printed for other
// pictures).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace mevo_eval {

// A fixed re-framing of a detector's boxes, relative to the box width: centre moved by
// (dx, dy) widths, new width sw and height sh widths. Identity by default.
struct Framing {
    double dx = 0, dy = 0, sw = 1, sh = 1;
    bool identity() const { return dx == 0 && dy == 0 && sw == 1 && sh == 1; }
};

struct WiderOptions {
    std::string models;                 // folder of face16/20/25.dat
    std::vector<std::string> cascades;  // OpenCV cascade files (OpenCV build only)
    int limit = 0, skip = 0;            // pictures skipped, then at most `limit` (0: all)
    std::vector<double> upscales{1.0};  // each detector runs once per factor
    // Per detector label ("ours", or a cascade's file name without .xml).
    std::vector<std::pair<std::string, Framing>> framings;
};

// "DX,DY,SW,SH" with positive sizes.
bool parse_framing(const char *text, Framing *f);

// OpenCV's frontal face cascades found on this machine: lbpcascade_frontalface.xml,
// haarcascade_frontalface_default.xml and lbpcascade_frontalface_improved.xml, in that order.
std::vector<std::string> default_cascades();

// Prints the tables; returns 0, or 1 when the folder or our cascades cannot be read.
int eval_wider(const std::string &dir, const WiderOptions &options);

}  // namespace mevo_eval
