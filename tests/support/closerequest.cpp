#include "tests/support/closerequest.h"

#include <QByteArray>

#include <cstdlib>
#include <memory>
#include <xcb/xcb.h>

namespace {

struct FreeReply
{
    void operator()(void *reply) const { std::free(reply); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeReply>;

struct Disconnect
{
    void operator()(xcb_connection_t *connection) const { xcb_disconnect(connection); }
};

xcb_atom_t atom(xcb_connection_t *connection, const QByteArray &name)
{
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection,
        xcb_intern_atom(connection, /*only_if_exists=*/0, quint16(name.size()), name.constData()),
        nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

bool fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

} // namespace

bool requestWindowClose(quint32 windowId, QString *error)
{
    const std::unique_ptr<xcb_connection_t, Disconnect> connection(xcb_connect(nullptr, nullptr));
    xcb_connection_t *c = connection.get();
    if (xcb_connection_has_error(c))
        return fail(error, QStringLiteral("cannot connect to the X display"));

    const xcb_atom_t protocols = atom(c, "WM_PROTOCOLS");
    const xcb_atom_t deleteWindow = atom(c, "WM_DELETE_WINDOW");
    if (protocols == XCB_ATOM_NONE || deleteWindow == XCB_ATOM_NONE)
        return fail(error, QStringLiteral("cannot intern WM_PROTOCOLS / WM_DELETE_WINDOW"));

    const Reply<xcb_get_property_reply_t> property(xcb_get_property_reply(
        c, xcb_get_property(c, /*_delete=*/0, windowId, protocols, XCB_ATOM_ATOM, 0, 32), nullptr));
    if (!property)
        return fail(error, QStringLiteral("window 0x%1 does not exist").arg(windowId, 0, 16));
    const auto *offered = static_cast<const xcb_atom_t *>(xcb_get_property_value(property.get()));
    const int count = xcb_get_property_value_length(property.get()) / int(sizeof(xcb_atom_t));
    bool takesPart = false;
    for (int i = 0; i < count; ++i)
        takesPart = takesPart || offered[i] == deleteWindow;
    if (!takesPart)
        return fail(
            error,
            QStringLiteral("window 0x%1 does not offer WM_DELETE_WINDOW").arg(windowId, 0, 16));

    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = windowId;
    event.type = protocols;
    event.data.data32[0] = deleteWindow;
    event.data.data32[1] = XCB_CURRENT_TIME;
    // No event mask: the event goes to the client that created the window, as ICCCM
    // has window managers send it.
    const xcb_void_cookie_t sent =
        xcb_send_event_checked(c, /*propagate=*/0, windowId, XCB_EVENT_MASK_NO_EVENT,
                               reinterpret_cast<const char *>(&event));
    const Reply<xcb_generic_error_t> sendError(xcb_request_check(c, sent));
    if (sendError)
        return fail(error, QStringLiteral("sending the close request failed (X error %1)")
                               .arg(sendError->error_code));
    return true;
}
