// velmora demo: the main job on the embedded default, the virtual card reader.
#pragma once

#include <string>
#include <vector>

namespace vm::cli {

struct ReadRequest {
    std::string port;
    std::string portType;
    std::string dir;
    std::string prefix;
    std::string image;  // empty: the raw image is not kept
};

// A card image built from design files without a box (`velmora card image`).
struct ImageRequest {
    std::string make = "brother";
    std::string type = "29F040";
    std::string out;
    std::string hoop;
    std::string copyright;
    std::string project;
    std::vector<std::string> files;
};
int buildImage(const ImageRequest& request);

// Writing a card in the box: design files built for the family, or a raw card image.
struct WriteRequest {
    std::string port;
    std::string portType = "RS232";
    std::string make = "brother";
    std::string raw;  // a card image written unchanged
    std::string copyright;
    std::string project;
    bool quillet = false;
    std::vector<std::string> files;
};
// 0 when the job ended with the card written (or erased).
int writeCard(const WriteRequest& request);
int eraseCard(const WriteRequest& request);

// The card read job into the folder; 0 when the card was read.
int readCard(const ReadRequest& request);

// Starts brimlet-sim with the demo card, reads the card into `dir` (a folder in the work
// folder when empty) and says what it found and where.
int runDemo(const std::string& dir);

}  // namespace vm::cli
