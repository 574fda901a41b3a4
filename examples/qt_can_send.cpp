// qt_can_send: sends CAN frames through a Qt SerialBus plugin, for example
// Qt's pass-thru plugin over liborvanta_passthru_lp64. It writes once the
// device is connected: canbusutil writes at once, before the pass-thru
// plugin (which opens its device on a thread of its own) has connected, so
// it cannot send through that plugin.
//
// Example: qt_can_send passthrucan "/usr/lib/x86_64-linux-gnu/liborvanta_passthru_lp64.so.1%COM3"
// 7E0#0201
//
// Usage: qt_can_send PLUGIN DEVICE ID#HEX...  (an ID of more than three
// digits is a 29-bit one). Exit codes: 0 all written, 1 an error or no
// connection within 10 s, 2 bad usage.
#include <QCanBus>
#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QCoreApplication>
#include <QTimer>
#include <QVariant>
#include <cstdio>
#include <memory>

namespace {

bool ParseFrame(const QString& text, QCanBusFrame* frame) {
  const int hash = text.indexOf('#');
  bool ok = false;
  const uint id = text.left(hash).toUInt(&ok, 16);
  if (hash < 0 || !ok) return false;
  *frame = QCanBusFrame(id, QByteArray::fromHex(text.mid(hash + 1).toLatin1()));
  frame->setExtendedFrameFormat(hash > 3);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QList<QCanBusFrame> frames;
  for (int i = 3; i < argc; ++i) {
    QCanBusFrame frame;
    if (!ParseFrame(QString::fromLatin1(argv[i]), &frame)) return 2;
    frames.append(frame);
  }
  if (frames.isEmpty()) return 2;
  QString error;
  std::unique_ptr<QCanBusDevice> device(
      QCanBus::instance()->createDevice(argv[1], QString::fromLocal8Bit(argv[2]), &error));
  if (!device) {
    std::fprintf(stderr, "qt_can_send: %s\n", qPrintable(error));
    return 1;
  }
  device->setConfigurationParameter(QCanBusDevice::BitRateKey, QVariant(500000));
  qint64 written = 0;
  QObject::connect(device.get(), &QCanBusDevice::errorOccurred, [&] {
    std::fprintf(stderr, "qt_can_send: %s\n", qPrintable(device->errorString()));
    app.exit(1);
  });
  QObject::connect(device.get(), &QCanBusDevice::stateChanged,
                   [&](QCanBusDevice::CanBusDeviceState s) {
                     if (s == QCanBusDevice::ConnectedState) {
                       for (const QCanBusFrame& frame : frames) device->writeFrame(frame);
                     } else if (s == QCanBusDevice::UnconnectedState) {
                       app.exit(written == frames.size() ? 0 : 1);
                     }
                   });
  QObject::connect(device.get(), &QCanBusDevice::framesWritten, [&](qint64 count) {
    written += count;
    if (written == frames.size()) device->disconnectDevice();
  });
  QTimer::singleShot(10000, [&] { app.exit(1); });
  if (!device->connectDevice()) return 1;
  return app.exec();
}
