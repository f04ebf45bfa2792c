#include "ftp/ftp_command.hpp"

#include "net/network_order.hpp"

#include <gtest/gtest.h>
#include <string>

namespace {

TEST(ClassifyCommand, FollowsTheTableOrderIgnoringAsciiCase) {
    EXPECT_EQ(classify_ftp_command("QUIT"), FtpCommand::quit);
    EXPECT_EQ(classify_ftp_command("quit"), FtpCommand::quit);
    EXPECT_EQ(classify_ftp_command("QUIT now"), FtpCommand::unknown);
    EXPECT_EQ(classify_ftp_command("USER anyone"), FtpCommand::user);
    EXPECT_EQ(classify_ftp_command("USER"), FtpCommand::unknown);
    EXPECT_EQ(classify_ftp_command("pass x"), FtpCommand::pass);
    EXPECT_EQ(classify_ftp_command("Port 1,2,3,4,5,6"), FtpCommand::port);
    EXPECT_EQ(classify_ftp_command("PORTX 127,0,0,1,4,1"), FtpCommand::unknown);
    EXPECT_EQ(classify_ftp_command("PORT"), FtpCommand::unknown);
    EXPECT_EQ(classify_ftp_command("USERX anyone"), FtpCommand::unknown);
    EXPECT_EQ(classify_ftp_command("TYPE A"), FtpCommand::type);
    EXPECT_EQ(classify_ftp_command("TYPEX"), FtpCommand::type);
    EXPECT_EQ(classify_ftp_command("PWD"), FtpCommand::pwd);
    EXPECT_EQ(classify_ftp_command("xpwd"), FtpCommand::pwd);
    EXPECT_EQ(classify_ftp_command("CWD pub"), FtpCommand::cwd);
    EXPECT_EQ(classify_ftp_command("XCWD pub"), FtpCommand::cwd);
    EXPECT_EQ(classify_ftp_command("LIST -la"), FtpCommand::list);
    EXPECT_EQ(classify_ftp_command("RETR a"), FtpCommand::retr);
    for (const char* other :
         {"PASV", "SYST", "NOOP", "CDUP", "NLST", "STOR x", "SIZE x", "", "PW"}) {
        EXPECT_EQ(classify_ftp_command(other), FtpCommand::unknown) << other;
    }
}

TEST(CommandArgument, FromTheGivenIndexOrEmpty) {
    char cwd[] = "CWD pub";
    EXPECT_STREQ(command_argument(cwd, 4), "pub");
    char list[] = "LIST /";
    EXPECT_STREQ(command_argument(list, 4), " /");
    char bare[] = "CWD";
    EXPECT_STREQ(command_argument(bare, 4), "");
    char four[] = "LIST";
    EXPECT_STREQ(command_argument(four, 4), "");
}

TEST(PortNumbers, ReadsSixNumbersWithSpacesBeforeCommas) {
    PortNumbers numbers = {};
    EXPECT_EQ(read_port_numbers("127,0,0,1,4,1", numbers), 6);
    DataEndpoint endpoint = endpoint_from_numbers(numbers);
    EXPECT_EQ(endpoint.address, address_from_bytes(127, 0, 0, 1));
    EXPECT_EQ(port_in_host_order(endpoint.port), 1025);
    PortNumbers spaced = {};
    EXPECT_EQ(read_port_numbers("127 , 0 , 0 , 1 , 4 , 1", spaced), 6);
    EXPECT_EQ(endpoint_from_numbers(spaced).port, endpoint.port);
    EXPECT_EQ(endpoint_from_numbers(spaced).address, endpoint.address);
}

TEST(PortNumbers, NumbersNotReachedKeepTheirValues) {
    PortNumbers numbers = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(read_port_numbers("10, 20 x", numbers), 2);
    EXPECT_EQ(numbers[0], 10);
    EXPECT_EQ(numbers[1], 20);
    EXPECT_EQ(numbers[2], 9);
    EXPECT_EQ(read_port_numbers("", numbers), 0);
    EXPECT_EQ(read_port_numbers("1,,2", numbers), 1);
    EXPECT_EQ(read_port_numbers("1 2", numbers), 1);
    EXPECT_EQ(numbers[1], 20);
    EXPECT_EQ(numbers[1], 20);
}

TEST(PortNumbers, KeepsTheLowEightBitsOfEachNumber) {
    PortNumbers numbers = {};
    read_port_numbers("383,-1,0,1,260,-255", numbers);
    DataEndpoint endpoint = endpoint_from_numbers(numbers);
    EXPECT_EQ(endpoint.address, address_from_bytes(127, 255, 0, 1));
    EXPECT_EQ(port_in_host_order(endpoint.port), (4 << 8) | 1);
}

} // namespace
