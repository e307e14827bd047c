#pragma once

// Shared by the window-message loop and its sockets only.
namespace veltonet::win32 {

// Notifications that sockets of this thread have handed to their handlers so far: a round
// counts what it ran by the difference, so a message that a socket drops (a write report
// nobody waits for, say) is not counted as work.
int& DeliveredNotifications();

}  // namespace veltonet::win32
