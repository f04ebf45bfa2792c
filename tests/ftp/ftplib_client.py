"""Python's ftplib in active mode: ftplib_client.py HOST PORT NAME...

Logs in, moves into "pub", lists it and fetches each NAME, printing one fact
per line for the calling test to compare whole: the replies ftplib returns,
the listed sizes and names (sorted: their order is the file system's), and
the fetched bytes in hexadecimal.
"""

import ftplib
import sys

host, port, names = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
ftp = ftplib.FTP(timeout=10)
ftp.set_pasv(False)
print("welcome:", ftp.connect(host, port))
print("login:", ftp.login("anyone", "secret"))
print("pwd:", ftp.pwd())
print("cwd:", ftp.cwd("pub"))
lines = []
print("list:", ftp.retrlines("LIST", lines.append))
print("entries:", sorted(" ".join(line.split()[2:]) for line in lines))
for name in names:
    chunks = []
    print("retr:", ftp.retrbinary("RETR " + name, chunks.append))
    print(name + ":", b"".join(chunks).hex())
try:
    print("quit:", ftp.quit())
except ftplib.error_proto as goodbye:
    # The goodbye line has no reply code, which ftplib reports as an error.
    print("quit:", goodbye)
