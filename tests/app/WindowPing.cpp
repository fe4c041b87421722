#include "app/WindowPing.h"

#include <xcb/xcb.h>

#include <QElapsedTimer>
#include <QThread>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace th::test {
namespace {

using Connection = std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)>;

xcb_atom_t atomNamed(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

bool isPingAnswer(const xcb_generic_event_t& event, xcb_window_t root, xcb_atom_t protocols,
                  xcb_atom_t ping, xcb_window_t window) {
    if ((event.response_type & 0x7f) != XCB_CLIENT_MESSAGE)
        return false;
    const auto& message = reinterpret_cast<const xcb_client_message_event_t&>(event);
    return message.window == root && message.type == protocols && message.data.data32[0] == ping &&
           message.data.data32[2] == window;
}

}  // namespace

bool answersPing(const QString& display, unsigned window, int patienceMs) {
    Connection connection(xcb_connect(display.toUtf8().constData(), nullptr), &xcb_disconnect);
    xcb_connection_t* x = connection.get();
    if (xcb_connection_has_error(x))
        return false;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    const xcb_atom_t protocols = atomNamed(x, "WM_PROTOCOLS");
    const xcb_atom_t ping = atomNamed(x, "_NET_WM_PING");

    // The answer is sent to the root window for the window manager, with its redirect mask
    // and a notify mask (clients differ in which one): listening to both notify masks there,
    // beside the manager, shows it to this probe too.
    const uint32_t rootEvents =
        XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, root, XCB_CW_EVENT_MASK, &rootEvents);

    xcb_client_message_event_t request{};
    request.response_type = XCB_CLIENT_MESSAGE;
    request.format = 32;
    request.window = window;
    request.type = protocols;
    request.data.data32[0] = ping;
    request.data.data32[1] = XCB_CURRENT_TIME;
    request.data.data32[2] = window;
    // No event mask: the message goes to the client that created the window.
    xcb_send_event(x, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&request));
    xcb_flush(x);

    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < patienceMs && !xcb_connection_has_error(x)) {
        std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> event(xcb_poll_for_event(x),
                                                                         &std::free);
        if (!event) {
            QThread::msleep(10);
            continue;
        }
        if (isPingAnswer(*event, root, protocols, ping, window))
            return true;
    }
    return false;
}

}  // namespace th::test
