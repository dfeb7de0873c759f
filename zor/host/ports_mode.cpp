// zor ports: the serial ports the library host object found, what each maps
// to, and what a user needs to write a ports/COMn link.
#include <zor/app.h>
#include <zor/host.h>

#include <zor/ports.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace zor {
namespace {

struct Row {
  ComPortInfo info;
  bool found = false;  // in the host object's list
  std::string note;    // why a listed row is not a port the library opens
};

std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string jsonOrNull(const std::string& s) { return s.empty() ? "null" : jsonString(s); }

std::string textLine(const Row& r) {
  const ComPortInfo& i = r.info;
  std::string line = i.number > 0 ? "COM" + std::to_string(i.number) : "-";
  line.resize(std::max<std::size_t>(line.size(), 6), ' ');
  line += i.tty.empty() ? i.target : i.tty;
  if (i.usb) {
    line += "  USB " + i.vendorId + ":" + i.productId;
    if (!i.serial.empty()) line += "  serial " + i.serial;
    if (!i.manufacturer.empty()) line += "  " + i.manufacturer;
    if (!i.product.empty()) line += "  " + i.product;
  }
  std::string paren;
  if (i.linked) paren = "link ports/COM" + std::to_string(i.number) + " -> " + i.target;
  if (!r.note.empty()) paren += (paren.empty() ? "" : "; ") + r.note;
  if (!paren.empty()) line += "  (" + paren + ")";
  return line;
}

std::string jsonObject(const Row& r) {
  const ComPortInfo& i = r.info;
  std::string o = "{\"com\": ";
  o += i.number > 0 ? std::to_string(i.number) : "null";
  o += ", \"name\": " + (i.number > 0 ? jsonString("COM" + std::to_string(i.number)) : std::string("null"));
  o += ", \"found\": " + std::string(r.found ? "true" : "false");
  o += ", \"tty\": " + jsonOrNull(i.tty);
  o += ", \"target\": " + jsonOrNull(i.target);
  o += ", \"link\": " + jsonOrNull(i.link);
  if (i.usb) {
    o += ", \"usb\": {\"vendor\": " + jsonString(i.vendorId) + ", \"product\": " + jsonString(i.productId) +
         ", \"serial\": " + jsonOrNull(i.serial) + ", \"manufacturer\": " + jsonOrNull(i.manufacturer) +
         ", \"product_name\": " + jsonOrNull(i.product) + "}";
  } else {
    o += ", \"usb\": null";
  }
  o += ", \"note\": " + jsonOrNull(r.note) + "}";
  return o;
}

}  // namespace

int runPortsMode(int argc, char** argv) {
  bool json = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else {
      std::fprintf(stderr, "zor ports: unknown option \"%s\"; try zor ports --help\n", argv[i]);
      return 2;
    }
  }

  std::vector<Row> rows;
  std::vector<int> listed;
  for (int k = 0; k < zorNumComPorts(); ++k) {
    Row r;
    r.info = describeComPort(zorGetComPortNumber(k));
    r.found = true;
    listed.push_back(r.info.number);
    rows.push_back(r);
  }
  // Links the start-up did not take: to nothing, to no tty (a folder, a file).
  for (int n : linkedComNumbers()) {
    if (std::find(listed.begin(), listed.end(), n) != listed.end()) continue;
    Row r;
    r.info = describeComPort(n);
    r.note = r.info.tty.empty() ? "no tty there" : "not opened: held or not a serial port";
    listed.push_back(n);
    rows.push_back(r);
  }
  // USB adapters that no COM number reaches.
  for (const std::string& tty : usbSerialTtys()) {
    bool reached = false;
    for (const Row& r : rows) reached = reached || r.info.tty == tty;
    if (reached) continue;
    Row r;
    r.info = describeTty(tty);
    r.note = "no COM number: ln -s " + tty + " " + portLinkFolder() + "/COMn";
    rows.push_back(r);
  }

  if (json) {
    std::printf("[");
    for (std::size_t k = 0; k < rows.size(); ++k)
      std::printf("%s\n  %s", k ? "," : "", jsonObject(rows[k]).c_str());
    std::printf("%s]\n", rows.empty() ? "" : "\n");
    return 0;
  }
  if (rows.empty())
    std::fprintf(stderr,
                 "zor ports: no serial port found (COM1 to COM%d looked for); link a tty as %s/COMn\n",
                 theApp.m_maxComPort, portLinkFolder().c_str());
  for (const Row& r : rows) std::printf("%s\n", textLine(r).c_str());
  return 0;
}

}  // namespace zor
