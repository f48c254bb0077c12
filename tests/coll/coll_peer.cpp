// The other process of the sharing tests: obeys one command per line on standard input and
// answers one line on standard output.
//   open NAME      -> "opened COUNT"     count           -> "COUNT"
//   set TAG VALUE  -> "ok RESULT"        get TAG         -> "value TEXT"
//   advise         -> "ok RESULT"        await TAG       -> "advised TAG" or "timeout"
//   lock / unlock  -> "ok RESULT"        close           -> "closed"
//   quit           -> exits 0
#include "coll/coll.h"

#include <chrono>
#include <iostream>
#include <sstream>
#include <string>

using namespace vm::platform;

int main()
{
    std::cout.setf(std::ios::unitbuf);
    CollHandle h = 0;
    std::vector<std::string> advised;
    WindowHandle window = createWindow([&](const Message& m) {
        advised.push_back(m.text);
        return 0;
    });
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command, tag;
        words >> command >> tag;
        if (command == "open") {
            h = collOpenShared(tag.c_str());
            std::cout << "opened " << collGetShareCount(h) << "\n";
        } else if (command == "count") {
            std::cout << collGetShareCount(h) << "\n";
        } else if (command == "set") {
            std::string value;
            words >> value;
            std::cout << "ok " << collSetString(h, tag.c_str(), value.c_str()) << "\n";
        } else if (command == "get") {
            char buf[256];
            collGetString(h, tag.c_str(), buf, sizeof buf);
            std::cout << "value " << buf << "\n";
        } else if (command == "advise") {
            std::cout << "ok " << collRequestAdvice(h, window, 1) << "\n";
        } else if (command == "await") {
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            Message m;
            bool found = false;
            while (!found && std::chrono::steady_clock::now() < end) {
                if (peekMessage(m, 10))
                    dispatchMessage(m);
                for (const auto& seen : advised)
                    found = found || seen == tag;
            }
            std::cout << (found ? "advised " + tag : std::string("timeout")) << "\n";
        } else if (command == "lock") {
            std::cout << "ok " << collLock(h) << "\n";
        } else if (command == "unlock") {
            std::cout << "ok " << collUnlock(h) << "\n";
        } else if (command == "close") {
            collClose(h);
            h = 0;
            std::cout << "closed\n";
        } else if (command == "quit") {
            break;
        }
    }
    if (h)
        collClose(h);
    return 0;
}
