#include <thread>

#include "app/modes.h"
#include "app/stdout_stream.h"
#include "audio/audio_thread.h"
#include "capture/control_flags.h"
#include "capture/encoder_thread.h"
#include "capture/gpu_check.h"
#include "capture/preview_writer.h"
#include "capture/session.h"
#include "capture/stdin_commands.h"
#include "platform/audio.h"
#include "platform/capture_sources.h"
#include "platform/codecs.h"
#include "platform/process.h"
#include "sys/clock.h"
#include "wire/handshake.h"
#include "wire/message_writer.h"

namespace nimbra {

void run_capture(const CaptureSettings& settings) {
  // Never destroyed: the helper threads use them until the process ends.
  static auto* const flags = new ControlFlags;
  static auto* const out = new StdoutStream;
  static auto* const writer = new MessageWriter(*out);

  SessionStarters start;
  start.parent_watchdog = [](std::uint32_t parent_pid) {
    std::thread([parent_pid] {
      platform::wait_for_process_end(parent_pid);
      platform::exit_process(0);
    }).detach();
  };
  // Before the handshake: a host that closes stdin ends us at any point.
  start.stdin_reader = [] {
    start_stdin_reader(*flags, StdinPort{
                                   .read = platform::read_stdin,
                                   .exit = [](int status) { platform::exit_process(status); },
                                   .diagnostic = platform::write_stderr_line,
                               });
  };
  start.handshake = [&settings] { send_handshake(*writer, settings); };
  start.audio = [host_pid = settings.parent_pid] {
    audio::start_audio_thread({host_pid, [](std::uint8_t kind, ByteView payload) { writer->write(kind, payload); },
                               platform::make_audio_platform(), &steady_clock(), platform::write_stderr_line});
  };
  start.encoder_thread = [](const LowSettings& low) {
    return start_encoder_thread(low, *flags, *writer, platform::create_h264_encoder, platform::write_stderr_line);
  };
  start.preview_writer = [] { return start_preview_writer(*writer); };

  SourceOpeners sources{platform::open_screen, platform::open_screen_fallback, platform::open_window,
                        platform::open_window_fallback};
  platform::prepare_capture();
  int status;
  {
    CaptureSession session(settings, SessionPorts{steady_clock(), *writer, *flags, platform::write_stderr_line,
                                                  platform::env_present, std::move(sources),
                                                  platform::create_h264_encoder, std::move(start),
                                                  [](GpuConversion& gpu, ByteView nv12, Size size) {
                                                    gpu_check(gpu, nv12, size, platform::write_stderr_line);
                                                  }});
    status = session.run();
  }  // the source and the encoders are let go before the end
  platform::exit_process(status);
}

}  // namespace nimbra
