// The value classes of the modern interface: Component, User, Message and
// Progress. Each keeps its fields behind one owned pointer, so that fields
// can be added without changing the class's size. A moved-from object reads
// as a default one.

#include <dadovu/Client.h>

#include <utility>

#include "api/ClientValuesImpl.h"

namespace DaDovu {

namespace {

const std::string& EmptyText() {
    static const std::string empty;
    return empty;
}

// Copies the data behind `from` (null stays null).
template <typename Impl>
std::unique_ptr<Impl> Clone(const std::unique_ptr<Impl>& from) {
    return from != nullptr ? std::make_unique<Impl>(*from) : nullptr;
}

// The data behind `object`, made when it has none yet (after a move).
template <typename Impl>
Impl& Writable(std::unique_ptr<Impl>& impl) {
    if (impl == nullptr) impl = std::make_unique<Impl>();
    return *impl;
}

}  // namespace

// ---- Component ----

Component::Component() : impl_(std::make_unique<Impl>()) {}
Component::Component(const Component& other) : impl_(Clone(other.impl_)) {}
Component::Component(Component&& other) noexcept = default;
Component& Component::operator=(const Component& other) {
    if (this != &other) impl_ = Clone(other.impl_);
    return *this;
}
Component& Component::operator=(Component&& other) noexcept = default;
Component::~Component() = default;

Component Component::Impl::Make(Impl&& record) {
    Component component;
    *component.impl_ = std::move(record);
    return component;
}

const std::string& Component::GetName() const { return impl_ ? impl_->name : EmptyText(); }
const std::string& Component::GetDescription() const { return impl_ ? impl_->description : EmptyText(); }
const std::string& Component::GetCategory() const { return impl_ ? impl_->category : EmptyText(); }
std::optional<int> Component::GetPid() const { return impl_ ? impl_->pid : std::nullopt; }
const std::string& Component::GetXml() const { return impl_ ? impl_->xml : EmptyText(); }

ComponentState Component::GetState() const {
    const int state = GetStateNumber();
    switch (state) {
    case COMPONENT_UNKNOWN:
    case COMPONENT_STOPPED:
    case COMPONENT_STARTING:
    case COMPONENT_RUNNING:
    case COMPONENT_STOPPING:
    case COMPONENT_FAILED: return static_cast<ComponentState>(state);
    default: return COMPONENT_OTHER;
    }
}

int Component::GetStateNumber() const { return impl_ ? impl_->state : COMPONENT_UNKNOWN; }

Component& Component::SetName(std::string name) {
    Writable(impl_).name = std::move(name);
    return *this;
}
Component& Component::SetDescription(std::string description) {
    Writable(impl_).description = std::move(description);
    return *this;
}
Component& Component::SetCategory(std::string category) {
    Writable(impl_).category = std::move(category);
    return *this;
}
Component& Component::SetPid(std::optional<int> pid) {
    Writable(impl_).pid = pid;
    return *this;
}
Component& Component::SetXml(std::string xml) {
    Writable(impl_).xml = std::move(xml);
    return *this;
}
Component& Component::SetStateNumber(int state) {
    Writable(impl_).state = state;
    return *this;
}

// ---- User ----

struct User::Impl {
    int uid = -1;
    std::string name;
};

User::User() : impl_(std::make_unique<Impl>()) {}
User::User(int uid, std::string name) : impl_(std::make_unique<Impl>(Impl{uid, std::move(name)})) {}
User::User(const User& other) : impl_(Clone(other.impl_)) {}
User::User(User&& other) noexcept = default;
User& User::operator=(const User& other) {
    if (this != &other) impl_ = Clone(other.impl_);
    return *this;
}
User& User::operator=(User&& other) noexcept = default;
User::~User() = default;

int User::GetUid() const { return impl_ ? impl_->uid : -1; }
const std::string& User::GetName() const { return impl_ ? impl_->name : EmptyText(); }

// ---- Message ----

struct Message::Impl {
    Severity severity = Severity::Info;
    std::string catalog;
    unsigned number = 0;
    std::string text;
    std::vector<std::string> parameters;
};

Message::Message() : impl_(std::make_unique<Impl>()) {}
Message::Message(Severity severity, std::string catalog, unsigned number, std::string text,
                 std::vector<std::string> parameters)
    : impl_(std::make_unique<Impl>(
          Impl{severity, std::move(catalog), number, std::move(text), std::move(parameters)})) {}
Message::Message(const Message& other) : impl_(Clone(other.impl_)) {}
Message::Message(Message&& other) noexcept = default;
Message& Message::operator=(const Message& other) {
    if (this != &other) impl_ = Clone(other.impl_);
    return *this;
}
Message& Message::operator=(Message&& other) noexcept = default;
Message::~Message() = default;

Severity Message::GetSeverity() const { return impl_ ? impl_->severity : Severity::Info; }
const std::string& Message::GetCatalog() const { return impl_ ? impl_->catalog : EmptyText(); }
unsigned Message::GetNumber() const { return impl_ ? impl_->number : 0; }
const std::string& Message::GetText() const { return impl_ ? impl_->text : EmptyText(); }

const std::vector<std::string>& Message::GetParameters() const {
    static const std::vector<std::string> none;
    return impl_ ? impl_->parameters : none;
}

bool Message::operator==(const Message& other) const {
    return GetSeverity() == other.GetSeverity() && GetNumber() == other.GetNumber() &&
           GetCatalog() == other.GetCatalog() && GetText() == other.GetText() &&
           GetParameters() == other.GetParameters();
}

// ---- Progress ----

struct Progress::Impl {
    ProgressState state = ProgressState::UnknownRequest;
    int code = -1;
    std::vector<Message> messages;
};

Progress::Progress() : impl_(std::make_unique<Impl>()) {}
Progress::Progress(ProgressState state, int code, std::vector<Message> messages)
    : impl_(std::make_unique<Impl>(Impl{state, code, std::move(messages)})) {}
Progress::Progress(const Progress& other) : impl_(Clone(other.impl_)) {}
Progress::Progress(Progress&& other) noexcept = default;
Progress& Progress::operator=(const Progress& other) {
    if (this != &other) impl_ = Clone(other.impl_);
    return *this;
}
Progress& Progress::operator=(Progress&& other) noexcept = default;
Progress::~Progress() = default;

ProgressState Progress::GetState() const { return impl_ ? impl_->state : ProgressState::UnknownRequest; }
int Progress::GetCode() const { return impl_ ? impl_->code : -1; }

const std::vector<Message>& Progress::GetMessages() const {
    static const std::vector<Message> none;
    return impl_ ? impl_->messages : none;
}

ProgressState Progress::StateOfCode(int code) {
    if (code == 1) return ProgressState::Running;
    if (code == 65) return ProgressState::UnknownRequest;
    return (code & 64) != 0 ? ProgressState::Failed : ProgressState::Finished;
}

}  // namespace DaDovu
