#include <fcntl.h>
#include <linux/if_brantel.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "brantel_sim.h"
#include "codes.h"
#include "trace.h"

namespace brantel_sim {

Simulator::Simulator(Options opts) : opts_(std::move(opts)), model_(opts_.initial) {}

Simulator::~Simulator() {
  if (trace_fd_ >= 0) ::close(trace_fd_);
}

void Simulator::report_once(const std::string& message) {
  if (!reported_.insert(message).second) return;
  std::string line = opts_.prog + ": " + message;
  if (opts_.report) {
    opts_.report(line);
  } else {
    line += '\n';
    ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
    (void)n;
  }
}

void Simulator::setup() {
  if (set_up_) return;
  set_up_ = true;
  if (!opts_.setup_error.empty()) {
    report_once(opts_.setup_error);
    config_err_ = EIO;
  }
  std::string error;
  if (!faults_.parse(opts_.faults, error)) {
    report_once(error);
    config_err_ = EINVAL;
  }
  if (!opts_.trace_path.empty()) {
    std::string error;
    trace_fd_ = open_owned(opts_.trace_path, O_WRONLY | O_APPEND | O_CREAT, 0666, error);
    if (trace_fd_ < 0) {
      report_once("trace: " + error);
      if (!config_err_) config_err_ = EIO;
    }
  }
  if (!opts_.state_path.empty())
    store_ = std::make_unique<StateStore>(opts_.state_path,
                                          [this](const std::string& m) { report_once(m); });
}

void Simulator::trace(const std::string& line) {
  if (trace_fd_ < 0) return;
  // One write per line: O_APPEND keeps lines of concurrent runs whole.
  ssize_t n = ::write(trace_fd_, line.data(), line.size());
  (void)n;
}

int Simulator::serve_model(const Request& req, Reply& reply) {
  if (broken_) return broken_err_;
  if (!store_) return model_.execute(req, reply);

  std::string error;
  if (const RequestKind* kind = request_kind(req.code); kind && kind->changes) {
    // Live mode: the kernel follows each change before the file records it,
    // and is put back when the file cannot be written.
    if (opts_.realiser)
      if (int e = opts_.realiser->admit()) return e;
    Model before, after;
    auto change = [&](Model& m) {
      if (!opts_.realiser) return m.execute(req, reply);
      before = m;
      int e = m.execute(req, reply);
      if (e) {
        opts_.realiser->refused(req, e, before);
        return e;
      }
      if ((e = opts_.realiser->vet(req, before))) {
        m = before;
        return e;
      }
      e = opts_.realiser->realise(before, m);
      if (!e) after = m;
      return e;
    };
    auto undo = [&] {
      if (opts_.realiser) opts_.realiser->take_back(before, after);
    };
    int r = store_->update(change, model_, error, undo);
    if (r == -1) {
      broken_ = true;
      broken_err_ = EIO;
      report_once(error + " (file left untouched)" + opts_.broken_hint);
      return EIO;
    }
    if (r == -2) {
      report_once(error);
      return EIO;
    }
    loaded_ = true;
    if (r == 0 && opts_.realiser) opts_.realiser->committed(req, before);
    return r;
  }
  if (!loaded_) {
    if (!store_->read(model_, error)) {
      // A file this user may not read is a matter of permission, and reads
      // as one; anything else is the file's own trouble.
      int why = errno == EACCES || errno == EPERM ? EPERM : EIO;
      broken_ = true;
      broken_err_ = why;
      report_once(error + " (file left untouched)" + (why == EIO ? opts_.broken_hint : ""));
      return why;
    }
    loaded_ = true;
  }
  return model_.execute(req, reply);
}

int Simulator::serve(brantel_ioctl* raw) {
  setup();
  CallerMemory mem{opts_.checked_memory};
  brantel_ioctl rec;
  // A record that cannot be read has no code to trace.
  if (!raw || mem.read(&rec, raw, sizeof rec) != sizeof rec) return EFAULT;
  Request req = decode(rec, mem);
  Reply reply;
  int err = config_err_;
  bool injected = false;
  FaultSet::Decision d;
  if (!err) {
    d = faults_.on_request(req.code);
    err = d.err;
    injected = err != 0;
  }
  if (!err) {
    try {
      err = serve_model(req, reply);
    } catch (const std::bad_alloc&) {
      // A state too large for this process's memory: the request fails,
      // the host carries on.
      report_once("out of memory while serving " +
                  std::string(request_kind(req.code) ? request_kind(req.code)->name : "a request"));
      err = EIO;
    }
  }

  if (!err) {
    ResultKind kind = result_kind(req.code);
    if (d.num) reply.num = *d.num;
    if (d.nonul) {
      std::size_t len = kind == ResultKind::mac ? 6 : strnlen(reply.name.data(), kNameSize);
      std::memset(reply.name.data() + len, '*', kNameSize - len);
    }
    bool ok = true;
    if (kind == ResultKind::num || d.num)
      ok = mem.write(&rec.reply->num, &reply.num, sizeof reply.num);
    if (ok && (kind == ResultKind::name || kind == ResultKind::mac))
      ok = mem.write(rec.reply->name, reply.name.data(), kNameSize);
    if (!ok) err = EFAULT;
  }
  if (trace_fd_ >= 0) trace(trace_line(req, err, injected, reply));
  return err;
}

int Simulator::socket_call() {
  setup();
  int err = faults_.on_socket();
  if (err) trace(trace_socket_line(err));
  return err;
}

}  // namespace brantel_sim
