// An emulated LAN of network namespaces, for the test and the benchmark of a
// tree of repeaters: one namespace per device, each with an eth0 on one
// bridge (a veth pair per device), the bridge in a namespace of its own.
// Nothing of it touches the machine's own network.
//
// The namespaces are held by descriptors of this process, never by names
// under /run/netns, and every process started inside one dies with the
// thread that started it (PR_SET_PDEATHSIG): however the program ends, the
// namespaces go with the last process in them. Needs root and the ip command
// (iproute2) for the veth pairs; the rest is done with ioctls.
#ifndef TOLVEK_TESTS_TOOLS_LAN_H_
#define TOLVEK_TESTS_TOOLS_LAN_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

struct Lan {
  int home = -1;    // the namespace of the thread that built the LAN
  int bridge = -1;  // the bridge's namespace
  std::vector<int> devices;
  std::string error;  // why build() failed

  Lan() = default;
  Lan(const Lan&) = delete;
  Lan& operator=(const Lan&) = delete;
  ~Lan() {
    for (int fd : devices) close(fd);
    if (bridge >= 0) close(bridge);
    if (home >= 0) close(home);
  }

  // One device per address ("10.44.0.1"), all in one subnet of the given
  // prefix length. False, with error set, when it cannot be made (no root,
  // no namespaces, no veth or bridge in this kernel, no ip command).
  bool build(const std::vector<std::string>& addresses, int prefix) {
    home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home < 0) return fail("cannot open this thread's network namespace");
    bridge = new_namespace();
    if (bridge < 0) return fail("cannot make a network namespace");
    for (size_t i = 0; i < addresses.size(); i++) {
      int fd = new_namespace();
      if (fd < 0) return fail("cannot make a network namespace");
      devices.push_back(fd);
    }
    if (!make_links()) return false;
    for (size_t i = 0; i < addresses.size(); i++) {
      in_addr a{};
      if (inet_aton(addresses[i].c_str(), &a) == 0) return fail("not an address: " + addresses[i]);
      enter(i);
      bool done = configure(a, prefix);
      leave();
      if (!done) return fail("cannot set up eth0 at " + addresses[i]);
    }
    return true;
  }

  // The calling thread moves into device i's namespace, and back.
  void enter(size_t i) const {
    if (setns(devices[i], CLONE_NEWNET) != 0) {
      perror("lan: setns");
      abort();
    }
  }
  void leave() const {
    // A thread left in the wrong namespace would quietly send elsewhere.
    if (setns(home, CLONE_NEWNET) != 0) {
      perror("lan: setns back");
      abort();
    }
  }

  // A socket of device i's namespace, usable from any thread.
  int socket_in(size_t i, int domain, int type, int protocol = 0) const {
    enter(i);
    int fd = socket(domain, type | SOCK_CLOEXEC, protocol);
    leave();
    return fd;
  }

  // Starts argv (the program found on PATH) inside device i's namespace,
  // with env ("NAME=value") before the inherited environment, standard
  // output and error appended to the files named, in folder dir. The pid,
  // or -1.
  pid_t spawn(size_t i, const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const std::string& out, const std::string& err, const std::string& dir = "/") const {
    return spawn_in(devices[i], argv, env, out, err, dir, nullptr);
  }

 private:
  bool fail(const std::string& what) {
    error = what + ": " + strerror(errno);
    return false;
  }

  // IPv4 only: each interface's IPv6 start-up messages are multicast,
  // which the bridge copies to every port at once, hundreds of copies that
  // overflow the kernel's input backlog and take datagrams with them.
  int new_namespace() const {
    if (unshare(CLONE_NEWNET) != 0) return -1;
    for (const char* conf : {"all", "default"}) {
      std::string path = std::string("/proc/sys/net/ipv6/conf/") + conf + "/disable_ipv6";
      int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);  // absent in a kernel without IPv6
      if (fd < 0) continue;
      if (write(fd, "1", 1) != 1) {
      }
      close(fd);
    }
    int fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    leave();
    return fd;
  }

  // What the child of spawn_in needs, all prepared before it starts.
  struct Child {
    pid_t parent;
    int ns;
    const char* dir;
    const char* out;
    const char* err;
    char* const* argv;
    char* const* envp;
    const std::vector<int>* inherited;
  };

  // The child shares the caller's memory until it execs (the caller waits
  // meanwhile), so it only makes system calls: starting a process costs the
  // same however much memory the caller holds.
  static int child_main(void* arg) {
    const Child& c = *static_cast<const Child*>(arg);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != c.parent) _exit(126);
    if (setns(c.ns, CLONE_NEWNET) != 0 || chdir(c.dir) != 0) _exit(125);
    int in_fd = open("/dev/null", O_RDONLY);
    int out_fd = open(c.out, O_WRONLY | O_CREAT | O_APPEND, 0644);
    int err_fd = open(c.err, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0) _exit(124);
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (c.inherited)
      for (int fd : *c.inherited) fcntl(fd, F_SETFD, 0);
    execvpe(c.argv[0], c.argv, c.envp);
    _exit(127);
  }

  pid_t spawn_in(int ns, const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::string& out, const std::string& err, const std::string& dir,
                 const std::vector<int>* inherited) const {
    std::vector<std::string> vars(env);
    for (char** e = environ; *e; e++) vars.push_back(*e);
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& v : vars) envp.push_back(const_cast<char*>(v.c_str()));
    envp.push_back(nullptr);
    Child c{getpid(), ns, dir.c_str(), out.c_str(), err.c_str(), args.data(), envp.data(), inherited};
    std::vector<char> stack(256 << 10);
    return clone(child_main, stack.data() + stack.size(), CLONE_VM | CLONE_VFORK | SIGCHLD, &c);
  }

  // The bridge and one veth pair per device, its eth0 end moved into the
  // device's namespace: one ip command, in the bridge's namespace, that
  // names each device namespace by a descriptor it inherits.
  bool make_links() {
    char path[] = "/tmp/tolvek_lan_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return fail("cannot write the ip batch");
    std::string batch = "link add br0 type bridge\nlink set br0 up\n";
    for (size_t i = 0; i < devices.size(); i++) {
      std::string port = "d" + std::to_string(i);
      batch += "link add " + port + " type veth peer name eth0 netns /proc/self/fd/" + std::to_string(devices[i]) +
               "\nlink set " + port + " master br0 up\n";
    }
    bool written = write(fd, batch.data(), batch.size()) == static_cast<ssize_t>(batch.size());
    close(fd);
    std::string log = std::string(path) + ".log";
    pid_t pid = written ? spawn_in(bridge, {"ip", "-batch", path}, {}, log, log, "/", &devices) : -1;
    int st = -1;
    if (pid > 0) waitpid(pid, &st, 0);
    std::string said;
    if (FILE* f = fopen(log.c_str(), "r")) {
      char line[256];
      while (fgets(line, sizeof line, f)) said += line;
      fclose(f);
    }
    unlink(path);
    unlink(log.c_str());
    if (pid > 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0) return true;
    errno = 0;
    error = "ip could not make the bridge and veth pairs (exit " + std::to_string(st) + "): " + said;
    return false;
  }

  static bool set_up(int s, const char* name) {
    ifreq r{};
    strncpy(r.ifr_name, name, IFNAMSIZ - 1);
    if (ioctl(s, SIOCGIFFLAGS, &r) != 0) return false;
    r.ifr_flags = static_cast<short>(r.ifr_flags | IFF_UP);
    return ioctl(s, SIOCSIFFLAGS, &r) == 0;
  }

  // In the device's namespace: lo up, and eth0 at a/prefix and up, which
  // brings the subnet's route with it.
  static bool configure(in_addr a, int prefix) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    ifreq r{};
    strncpy(r.ifr_name, "eth0", IFNAMSIZ - 1);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = a;
    memcpy(&r.ifr_addr, &sa, sizeof sa);
    bool ok = ioctl(s, SIOCSIFADDR, &r) == 0;
    sa.sin_addr.s_addr = htonl(prefix > 0 ? ~0u << (32 - prefix) : 0);
    memcpy(&r.ifr_netmask, &sa, sizeof sa);
    ok = ok && ioctl(s, SIOCSIFNETMASK, &r) == 0 && set_up(s, "lo") && set_up(s, "eth0");
    close(s);
    return ok;
  }
};

#endif  // TOLVEK_TESTS_TOOLS_LAN_H_
