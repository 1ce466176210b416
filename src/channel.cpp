// SPDX-License-Identifier: MIT
#include "channel.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace {

bool send_note(int channel, const device_note& note, int fd, int flags = 0)
{
    struct iovec data = {const_cast<device_note*>(&note), sizeof note};
    struct msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    alignas(struct cmsghdr) char space[CMSG_SPACE(sizeof fd)];
    if (fd >= 0) {
        message.msg_control = space;
        message.msg_controllen = sizeof space;
        struct cmsghdr* rights = CMSG_FIRSTHDR(&message);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof fd);
        memcpy(CMSG_DATA(rights), &fd, sizeof fd);
    }
    // Fails only when the other process has ended, which it learns itself,
    // or, without waiting, when the channel is full.
    ssize_t n;
    while ((n = sendmsg(channel, &message, MSG_NOSIGNAL | flags)) < 0 &&
           errno == EINTR) {
    }
    return n >= 0;
}

} // namespace

void send_device(int channel, int fd, int number, const port_record& saved,
                 line_kind line)
{
    send_note(channel,
              {device_note::HANDED_OVER, number, 0, 0, saved, line, 0, 0}, fd);
}

bool send_answer(int channel, int number, unsigned char verb,
                 unsigned char option)
{
    device_note note = {
        device_note::ANSWER, number, 0, 0, {}, {}, verb, option};
    return send_note(channel, note, -1, MSG_DONTWAIT);
}

void send_gone(int channel, int number, int error)
{
    send_note(channel, {device_note::GONE, number, error, 0, {}, {}, 0, 0}, -1);
}

void send_unsent(int channel, size_t unsent)
{
    send_note(channel, {device_note::UNSENT, -1, 0, unsent, {}, {}, 0, 0}, -1);
}

int take_note(int channel, device_note& note, int& fd)
{
    struct iovec data = {&note, sizeof note};
    struct msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    alignas(struct cmsghdr) char space[CMSG_SPACE(sizeof fd)];
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    // A peer that ends while a note of ours waits unread makes the next
    // receive fail once with ECONNRESET; the peer's own notes are still
    // there to be taken after it, and only their end is the peer's end.
    ssize_t n;
    while ((n = recvmsg(channel, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC)) <
               0 &&
           (errno == EINTR || errno == ECONNRESET)) {
    }
    if (n < 0 && errno == EAGAIN)
        return 0;
    if (n != static_cast<ssize_t>(sizeof note))
        return -1;
    fd = -1;
    struct cmsghdr* rights = CMSG_FIRSTHDR(&message);
    if (rights != nullptr && rights->cmsg_type == SCM_RIGHTS)
        memcpy(&fd, CMSG_DATA(rights), sizeof fd);
    return 1;
}
