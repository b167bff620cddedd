// control_example: starts a target on a node, prints its status list, then
// stops it asynchronously and follows the stop until the daemon reports it done.
//
//   control_example [node] target      (node: "localhost" when omitted)
#include <dadovu/dadovu.h>

#include <chrono>
#include <iostream>
#include <thread>

int main(int argc, char** argv) {
    using namespace DaDovu;
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: " << argv[0] << " [node] target\n";
        return 2;
    }
    const QxPalStr::String_t node(argc == 3 ? argv[1] : LOCAL_NODE);
    const QxPalStr::String_t target(argv[argc - 1]);

    try {
        Control::Options options;
        Control::Start(target, node, options);

        ControlComponentList list;
        Control::Status(Control::STATUS_PROCESSES, target, node, options, list);
        for (; !list.IsAtEnd(); list.Next()) {
            const ControlComponent component = list.GetCurrent();
            std::cout << component.GetName().ToUtf8() << "\tstate " << component.GetState() << "\tpid "
                      << component.GetPID().ToUtf8() << "\n";
        }

        // The asynchronous forms take an endpoint; build it as the by-node forms do.
        const QxPalNet::URI_t uri(CreateURI(node, QxPalArray::CharArray_t(SERVER_IDENTIFIER), false));
        const unsigned long long requestID = Control::StopAsync(target, false, options, uri);
        std::cout << "stop requested, request ID " << requestID << "\n";

        // What a progress code means is the daemon's convention. The simulated
        // daemon dadovu-sim answers 0 when the command has finished, 1 while it
        // runs, and a code with the bit of value 64 when it failed.
        for (int poll = 0; poll < 60; ++poll) {
            QxPalMsg::MessageList_t messages;
            const int progress = Control::GetCommandProgress(requestID, options, messages, uri);
            for (int i = 0; i < messages.GetMessageCount(); ++i) {
                std::cout << "  " << messages.GetMessageObject(i).GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8()
                          << "\n";
            }
            if (progress == 0) {
                std::cout << "stopped\n";
                return 0;
            }
            if ((progress & 64) != 0) {
                std::cerr << "stop failed, code " << progress << "\n";
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        std::cerr << "stop still running after 30 s\n";
        return 1;
    } catch (const QxPalMsg::Exception_t& e) {  // every failure of the library, security ones included
        std::cerr << e.what() << "\n";
        return 1;
    }
}
