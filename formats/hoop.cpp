// The hoop fit check with the list of hoops the machines know.
#include "formats/hoop.h"
#include "formats/convert.h"

#include "formats/reporter.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace vm::formats {

namespace {

constexpr std::string_view kKnownHoops[] = {
    "20*60",   "40*40",   "40*50",   "40*60",   "45*18",   "50*50",   "50*120",  "55*55",   "60*40",
    "80*80",   "85*70",   "100*90",  "100*100", "100*170", "100*180", "110*110", "110*130", "114*80",
    "114*114", "115*120", "120*90",  "120*120", "120*200", "125*90",  "126*110", "130*50",  "130*60",
    "130*180", "130*240", "140*140", "140*200", "140*225", "140*240", "150*150", "150*240", "150*360",
    "150*400", "155*200", "160*260", "180*300", "200*200", "200*300", "200*360", "300*200"};

// Hoops on which a design may be turned to fit.
constexpr std::string_view kTurnableHoops[] = {"20*60",   "100*170", "100*180", "125*90",  "126*110", "130*180",
                                               "130*240", "140*200", "140*225", "150*360", "150*400", "160*260",
                                               "180*300", "200*300", "200*360", "300*200"};

constexpr unsigned kTurnQuestion = MB_YESNO | MB_DEFBUTTON2 | MB_ICONEXCLAMATION;   // 308
constexpr unsigned kNoFitWarning = MB_OKCANCEL | MB_DEFBUTTON2 | MB_ICONEXCLAMATION;  // 305

}  // namespace

bool isKnownHoop(std::string_view hoop)
{
    return std::find(std::begin(kKnownHoops), std::end(kKnownHoops), hoop) != std::end(kKnownHoops);
}

int checkHoopFit(platform::WindowHandle window, CollHandle dialogColl, const char* path, int w, int h)
{
    char size[64] = {};
    collGetString(dialogColl, "Size", size, sizeof size);
    std::string hoop(size);
    hoop = hoop.substr(0, hoop.find_first_of(" \t"));
    if (!isKnownHoop(hoop))
        return 1;
    int hoopW = 0, hoopH = 0;
    std::sscanf(hoop.c_str(), "%d*%d", &hoopW, &hoopH);
    if (w <= 10 * hoopW && h <= 10 * hoopH)
        return 1;
    std::string name = stemOf(path ? path : "").substr(0, 63);
    bool turnable = std::find(std::begin(kTurnableHoops), std::end(kTurnableHoops), hoop) != std::end(kTurnableHoops);
    Message question;
    const bool turned = turnable && w <= 10 * hoopH && h <= 10 * hoopW;
    question.id = turned ? 148 : 122;
    question.style = turned ? kTurnQuestion : kNoFitWarning;
    question.args = {name, hoop, std::to_string(w / 10), std::to_string(w % 10), std::to_string(h / 10),
                     std::to_string(h % 10)};
    question.window = window;
    return reporter()->ask(question);
}

}  // namespace vm::formats
