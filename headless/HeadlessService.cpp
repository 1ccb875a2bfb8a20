#include "headless/HeadlessService.h"

#include "ffmpeg/FfmpegLocation.h"
#include "platform/SignalPipe.h"
#include "settings/InstanceLock.h"
#include "web/StatusSnapshot.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {
// A service starts what it stored as running one channel a second, the first at once.
constexpr int kStartPeriodMs = 1000;

int Refuse(const std::string& text, int exitCode)
{
    std::fprintf(stderr, "CamRelay: %s\n", text.c_str());
    std::fflush(stderr);
    return exitCode;
}
}  // namespace

int HeadlessService::Main(const HeadlessOptions& options)
{
    // Held until the process ends. A second instance on the folder touches nothing in it.
    InstanceLock lock;
    const ClaimedDataDir dir = ClaimDataDir(options.m_strDir, options.m_strProgramDir, lock);
    if (dir.m_nExitCode >= 0)
        return Refuse(dir.m_strMessage, dir.m_nExitCode);
    if (!dir.m_strWarning.empty())
        std::fprintf(stderr, "CamRelay: %s\n", dir.m_strWarning.c_str());
    if (SignalPipe::Take().m_bStop)
        return 0;  // stopped before anything was read or written

    HeadlessService service(dir.m_strPath, options.m_strProgramDir);
    if (options.m_nStatusPort > 0)
        service.StartStatus(options.m_strStatusBind, options.m_nStatusPort, options.m_strControlToken,
                            options.m_statusHosts);
    return service.Run();
}

HeadlessService::HeadlessService(const std::string& dataDir, const std::string& programDir)
    : m_wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), m_engine(dataDir, *this, *this), m_session(m_engine, true),
      m_checks(FfmpegLocation::Find(programDir, std::getenv("PATH")))
{
    m_engine.UseFfmpeg(m_checks.Ffmpeg());   // looked for once, for the channels and the previews
    if (!m_engine.Log().FileProblem().empty())
        m_engine.Log().Write(m_engine.Log().FileProblem());  // to standard error: the file takes none
    // The switches and the next id of a channel added from the web console; m_bAutoRun is the
    // window's concern.
    m_nNextId = m_session.LoadFlags().m_nNextId;
    // A service exists to run its channels: whatever m_bAutoRun says, the stored ones start.
    const int queued = m_session.LoadChannels(true);
    m_engine.PaceStarts(0, kStartPeriodMs);
    // A service with nothing to run says so, and why, instead of idling in silence.
    const std::string ini = dataDir + "/config.ini";
    if (::access(ini.c_str(), F_OK) != 0)
        m_engine.Log().Write("找不到 " + ini + "：没有信号可运行；放入 config.ini 后重新加载（SIGHUP）即可",
                             StatusLog::kWarning);
    else
        m_engine.Log().Write("config.ini 中有 " + std::to_string(m_engine.RowCount()) + " 个信号，其中 " +
                             std::to_string(queued) + " 个存为运行中，依次启动");
}

HeadlessService::~HeadlessService()
{
    m_status.Stop();
    m_session.Shutdown();  // joins the monitors while the queue and the eventfd exist
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

void HeadlessService::StartStatus(const std::string& address, int port, const std::string& token,
                                  std::vector<std::string> hosts)
{
    m_status.AcceptHostNames(std::move(hosts));
    m_status.UseConsole({this, token, m_engine.AppDir(), "headless", &m_engine.Log()});
    m_status.SetFrameProvider(SourceCheckFrames(m_checks, m_engine.AppDir()));
    m_status.SetAddressCheck(SourceCheckAddresses(m_checks, m_engine.AppDir()));
    m_status.SetCsvCheck(CsvImportCheck(m_engine.Ffmpeg(), m_engine.AppDir()));
    if (m_status.StartAndSay(address, port))
        Publish();
}

void HeadlessService::ShowMessage(const std::string& text)
{
    m_engine.Log().Write(text);
}

void HeadlessService::PostProgress(int row, const ProgressSample& sample)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_readings.emplace_back(row, sample);
    }
    Wake();
}

void HeadlessService::PostOutputEnded(int row)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back([this, row] {
            m_engine.OnOutputEnded(row);
            Publish();
        });
    }
    Wake();
}

void HeadlessService::Submit(ConsoleRequest request, std::function<void(ConsoleReply)> reply)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back([this, request = std::move(request), reply = std::move(reply)] {
            reply(CarryOut(request, {m_engine, [this] { return Reload(); }, &m_session, &m_nNextId}));
            Publish();   // the page shows the change with its next look
        });
    }
    Wake();
}

void HeadlessService::Wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

void HeadlessService::DrainQueues()
{
    std::uint64_t count;
    [[maybe_unused]] const ssize_t n = ::read(m_wakeFd, &count, sizeof count);
    std::vector<std::pair<int, ProgressSample>> readings;
    std::vector<std::function<void()>> requests;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        readings.swap(m_readings);
        requests.swap(m_requests);
    }
    for (const auto& [row, sample] : readings)
        m_engine.OnProgress(row, sample);
    if (!readings.empty())
        Publish();
    for (const auto& request : requests)
        request();
}

void HeadlessService::Publish()
{
    if (m_status.Running())
        m_status.Publish(StatusSnapshot(m_engine));
}

int HeadlessService::Reload()
{
    const int changes = m_session.Reload();
    Publish();
    return changes;
}

int HeadlessService::Run()
{
    for (;;) {
        // Signals first: a stop that came during the start-up scan starts nothing.
        const std::int64_t waitNs = m_engine.NextDeadline() - SteadyNs();
        pollfd fds[2] = {{SignalPipe::ReadFd(), POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(std::clamp<std::int64_t>(waitNs / 1000000 + 1, 0, kTimerPeriodMs)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            const SignalPipe::Requests requests = SignalPipe::Take();
            if (requests.m_bStop) {
                m_engine.Log().Write("收到停止信号，结束所有 ffmpeg");
                break;
            }
            if (requests.m_bReload)
                Reload();
        }
        if (ready > 0 && (fds[1].revents & POLLIN))
            DrainQueues();
        m_engine.Advance();
        if (ready == 0)
            Publish();  // a tick, a start or a turn was due
    }
    m_status.Stop();
    m_session.Shutdown();
    return 0;
}
