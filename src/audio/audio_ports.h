#pragma once
// What the audio core needs from the machine: a process table, the owners of
// the audio sessions (with a signal when a session appears), and one capture
// client per application. Tests give fakes that run in virtual time.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sys/bytes.h"
#include "sys/clock.h"
#include "sys/result.h"

namespace nimbra::audio {

struct ProcessEntry {
  std::string name;  // normalised (normalise_process_name)
  std::uint32_t parent_pid = 0;
};

// Ordered by pid, so that every walk over it is repeatable.
using ProcessTable = std::map<std::uint32_t, ProcessEntry>;

enum class SessionWait { NewSession, TimedOut, Gone };

// The audio sessions of every active output device.
class AudioSessions {
 public:
  virtual ~AudioSessions() = default;
  // Owner pids in the order the sessions were found, without duplicates.
  virtual Result<std::vector<std::uint32_t>> owners() = 0;
  // (Re-)subscribes to new sessions on the output devices present now.
  virtual void register_notifications() = 0;
  virtual SessionWait wait_for_new_session(Duration timeout) = 0;
  virtual void discard_pending() = 0;
};

// A packet of whole frames, or (empty bytes) a count of silent frames that
// the consumer supplies itself.
using PacketConsumer = std::function<void(ByteView frames, std::uint32_t frame_count)>;

// Captures one application's process tree as 48 kHz stereo s16 packets.
class AppCaptureClient {
 public:
  virtual ~AppCaptureClient() = default;
  // Hands over every packet waiting; the number of frames delivered.
  virtual Result<std::uint64_t> drain(const PacketConsumer& consumer) = 0;
};

class AppCaptureOpener {
 public:
  virtual ~AppCaptureOpener() = default;
  virtual Result<std::unique_ptr<AppCaptureClient>> open(std::uint32_t pid) = 0;
  // Returns when any client has data ready, or after `timeout`.
  virtual void wait_for_data(std::span<AppCaptureClient* const> clients, Duration timeout) = 0;
};

struct AudioPlatform {
  // Runs first on each audio thread ("sys-audio", "sys-audio-scan").
  std::function<void(const char* thread_name)> enter_thread;
  std::function<ProcessTable()> process_table;  // empty when it cannot be read
  std::unique_ptr<AudioSessions> sessions;
  std::unique_ptr<AppCaptureOpener> captures;
  std::uint32_t own_pid = 0;
};

}  // namespace nimbra::audio
