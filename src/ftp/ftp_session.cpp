#include "ftp/ftp_session.hpp"

#include <cstdio>
#include <cstring>

#include "config/settings.hpp"
#include "console/console.hpp"
#include "fs/path.hpp"
#include "fs/trees.hpp"
#include "ftp/ftp_path.hpp"
#include "ftp/ftp_transfer.hpp"
#include "net/line_io.hpp"
#include "net/network_order.hpp"
#include "net/socket_owner.hpp"
#include "text/client_text.hpp"

namespace {

using Payload = Status (*)(Socket data_socket, const char* path);

void start_session(FtpSession& session, Socket socket) {
    session.control = socket;
    session.peer_address = peer_address_of(socket);
    session.local_address = local_address_of(socket);
    // Start-up refuses a base directory that would leave no room below it,
    // so the root always fits whole; were it ever to lack room, an empty
    // root would name nothing, and nothing would be inside it.
    (void)form_tree_root(session.root, settings.base_dir, FTP_TREE);
    session.root_length = static_cast<int>(std::strlen(session.root));
    std::snprintf(session.cwd, sizeof session.cwd, "%s", session.root);
}

void change_directory(FtpSession& session) {
    char resolved[PATH_CAP];
    char* argument = command_argument(session.line, 4);
    if (resolve_ftp_path(resolved, session.cwd, argument, session.root, session.root_length) !=
        Status::ok) {
        send_text(session.control, "550 tam nesmis!\r\n");
    } else if (!path_is_directory(resolved)) {
        send_text(session.control, "550 adresar neexistuje\r\n");
    } else {
        std::snprintf(session.cwd, sizeof session.cwd, "%s", resolved);
        send_pwd_reply(session.control, below_tree(session.cwd, session.root_length));
    }
}

// True when the endpoint is one of our own listening sockets, on any
// address of this machine. A session connected there would write a file
// into our own accept queue, which no one serves while ten sessions run, or
// feed its lines to a session of its own as commands: ten such PORTs would
// wedge the server for good.
bool names_this_server(const FtpSession& session) {
    uint32_t address = session.endpoint.address;
    if (!session.own_ports.has(port_in_host_order(session.endpoint.port))) {
        return false;
    }
    return is_loopback_address(address) || address == session.local_address ||
           is_address_of_this_machine(address);
}

// Data goes only to the address the control connection comes from, so that
// PORT cannot turn the server against a third host, and never back to the
// server itself.
bool connect_data(const FtpSession& session, Socket data_socket) {
    if (session.endpoint.address != session.peer_address) {
        return false;
    }
    // Decided here: a PORT naming this server gets no connection at all.
    if (names_this_server(session)) {
        return false;
    }
    if (connect_to(data_socket, session.endpoint.address, session.endpoint.port) != Status::ok) {
        return false;
    }
    // Decided here: when nothing listens on the target port, the kernel may
    // give our socket that very port, and TCP then connects it to itself. A
    // transfer into itself would wait for ever.
    return !connected_to_itself(data_socket);
}

void transfer(FtpSession& session, Payload payload) {
    SocketOwner data(open_tcp_socket());
    end_when_peer_vanishes(data.get());
    send_text(session.control, "150 ok, startuju spojeni\r\n");
    if (!connect_data(session, data.get())) {
        send_text(session.control, "424 spojeni na pozadovanou adresu se nezdarilo\r\n");
        return;
    }
    char resolved[PATH_CAP];
    char* argument = command_argument(session.line, 4);
    bool delivered = resolve_ftp_path(resolved, session.cwd, argument, session.root,
                                      session.root_length) == Status::ok &&
                     payload(data.get(), resolved) == Status::ok;
    // The reply goes out before the data connection closes.
    send_text(session.control, delivered ? "226 ok, hotovo\r\n" : "400 neco neproslo\r\n");
}

void read_port(FtpSession& session) {
    read_port_numbers(command_argument(session.line, 5), session.port_numbers);
    session.endpoint = endpoint_from_numbers(session.port_numbers);
    send_text(session.control, "200 ok, poznamenano, zadej, co tam mam poslat\r\n");
}

// Answers one command line; returns false when the session is to end.
bool answer(FtpSession& session) {
    switch (classify_ftp_command(session.line)) {
    case FtpCommand::quit:
        send_text(session.control, "Bylo mi cti, nashledanou\r\n");
        return false;
    case FtpCommand::user:
        send_text(session.control, "331 Uzivatelske jmeno prijato, ocekavam heslo\r\n");
        break;
    case FtpCommand::pass:
        send_text(session.control, "230 Heslo je vporadku (ostatne jako kazde jine ;-)\r\n");
        break;
    case FtpCommand::port:
        read_port(session);
        break;
    case FtpCommand::type:
        send_text(session.control, "220 Typ je stejne porad binarni ...\r\n");
        break;
    case FtpCommand::pwd:
        send_pwd_reply(session.control, below_tree(session.cwd, session.root_length));
        break;
    case FtpCommand::cwd:
        change_directory(session);
        break;
    case FtpCommand::list:
        transfer(session, send_ftp_listing);
        break;
    case FtpCommand::retr:
        transfer(session, send_file_data);
        break;
    case FtpCommand::unknown:
        send_text(session.control, "500 Nerozumim? \r\n");
        break;
    }
    return true;
}

} // namespace

void ftp_session(Socket socket, ListeningPorts own_ports) {
    SocketOwner control(socket);
    FtpSession session;
    start_session(session, control.get());
    session.own_ports = own_ports;
    send_without_delay(session.control);
    send_text(session.control, "220 FTP server - pro Sorbanik\r\n");
    // One reader for the whole session: commands that arrive together are
    // taken with one receive, and answered one after the other.
    LineReader commands(session.control);
    while (commands.next(session.line) == ReceiveLineResult::ok) {
        char shown[FTP_LINE_CAP * CLIENT_TEXT_EXPANSION + 1];
        escape_client_text(shown, session.line);
        console_printf("FTP: %s\n", shown);
        if (!answer(session)) {
            break;
        }
    }
}
