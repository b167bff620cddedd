#include "Completion.h"

#include <algorithm>
#include <vector>

namespace DaDovuCtl {

namespace {

std::vector<const CLI::App*> Subcommands(const CLI::App& app) {
    return app.get_subcommands([](const CLI::App*) { return true; });
}

std::vector<const CLI::Option*> Flags(const CLI::App& app) {
    return app.get_options([](const CLI::Option* o) { return !o->get_positional(); });
}

std::vector<const CLI::Option*> Positionals(const CLI::App& app) {
    return app.get_options([](const CLI::Option* o) { return o->get_positional(); });
}

bool TakesValue(const CLI::Option& o) { return o.get_expected_max() != 0; }

std::vector<std::string> Names(const CLI::Option& o) {
    std::vector<std::string> names;
    for (const std::string& s : o.get_snames()) names.push_back("-" + s);
    for (const std::string& l : o.get_lnames()) names.push_back("--" + l);
    return names;
}

// The words, each once, in their first order, separated by blanks.
std::string Join(const std::vector<std::string>& words) {
    std::string out;
    std::vector<std::string> seen;
    for (const std::string& w : words) {
        if (std::find(seen.begin(), seen.end(), w) != seen.end()) continue;
        seen.push_back(w);
        out += (out.empty() ? "" : " ") + w;
    }
    return out;
}

// The same, separated by '|', for a case pattern.
std::string Pattern(const std::vector<std::string>& words) {
    std::string out = Join(words);
    std::replace(out.begin(), out.end(), ' ', '|');
    return out;
}

std::string AllNames(const std::vector<const CLI::Option*>& options, bool valuesOnly) {
    std::vector<std::string> names;
    for (const CLI::Option* o : options)
        if (!valuesOnly || TakesValue(*o))
            for (std::string& n : Names(*o)) names.push_back(std::move(n));
    return Join(names);
}

// What completes an option's value or a positional, by the name of its value.
enum class Value { Anything, File, Node, Shell };

Value ValueOf(const CLI::Option& o) {
    const std::string type = o.get_type_name();
    if (type == "FILE") return Value::File;
    if (o.check_lname("node")) return Value::Node;
    if (o.get_name(true) == "SHELL") return Value::Shell;
    return Value::Anything;
}

// The lines of a nodes file that are node names: comments and URIs left out.
const char kNodeNamesSed[] = R"(sed -e 's/#.*//' -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//' -e '/:\/\//d' -e '/^$/d')";

}  // namespace

std::string BashCompletion(const CLI::App& app) {
    const auto global = Flags(app);
    std::vector<const CLI::Option*> every = global;
    for (const CLI::App* sub : Subcommands(app))
        for (const CLI::Option* o : Flags(*sub)) every.push_back(o);
    std::vector<std::string> commands, files, nodes, free;
    for (const CLI::App* sub : Subcommands(app)) commands.push_back(sub->get_name());
    for (const CLI::Option* o : every) {
        if (!TakesValue(*o)) continue;
        for (std::string& n : Names(*o)) {
            switch (ValueOf(*o)) {
            case Value::File: files.push_back(std::move(n)); break;
            case Value::Node: nodes.push_back(std::move(n)); break;
            default: free.push_back(std::move(n)); break;
            }
        }
    }
    std::string s;
    s += "# bash completion for dadovuctl, made by `dadovuctl completion bash`.\n";
    s += "# Enable it with: source <(dadovuctl completion bash)\n\n";
    s += "_dadovuctl_node_names() {\n";
    s += "    [ -r \"$1\" ] && [ -f \"$1\" ] && " + std::string(kNodeNamesSed) + " -- \"$1\" 2>/dev/null\n";
    s += "}\n\n";
    s += "_dadovuctl() {\n";
    s += "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n";
    s += "    local value_options=\" " + AllNames(every, true) + " \"\n";
    s += "    local i word command= nodes_file=\n";
    s += "    for ((i = 1; i < COMP_CWORD; i++)); do\n";
    s += "        word=${COMP_WORDS[i]}\n";
    s += "        case $word in\n";
    s += "            -f|--nodes-file) nodes_file=${COMP_WORDS[i+1]}; ((i++)); continue ;;\n";
    s += "            --) break ;;\n";
    s += "        esac\n";
    s += "        if [[ $value_options == *\" $word \"* ]]; then ((i++)); continue; fi\n";
    s += "        [[ $word == -* || -n $command ]] && continue\n";
    s += "        command=$word\n";
    s += "    done\n";
    s += "    case $prev in\n";
    if (!nodes.empty())
        s += "        " + Pattern(nodes) +
             ")\n            COMPREPLY=($(compgen -W \"$(_dadovuctl_node_names \"$nodes_file\")\" -- \"$cur\"))\n"
             "            return ;;\n";
    if (!files.empty())
        s += "        " + Pattern(files) +
             ")\n            COMPREPLY=($(compgen -f -- \"$cur\"))\n            return ;;\n";
    if (!free.empty())
        s += "        " + Pattern(free) +
             ")\n            return ;;\n";
    s += "    esac\n";
    s += "    local options=\"" + AllNames(global, false) + "\"\n";
    s += "    case $command in\n";
    s += "        '')\n";
    s += "            if [[ $cur == -* ]]; then\n";
    s += "                COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n";
    s += "            else\n";
    s += "                COMPREPLY=($(compgen -W \"" + Join(commands) + "\" -- \"$cur\"))\n";
    s += "            fi\n";
    s += "            return ;;\n";
    for (const CLI::App* sub : Subcommands(app)) {
        s += "        " + sub->get_name() + ")\n";
        s += "            options=\"" + AllNames(Flags(*sub), false) + " $options\"";
        for (const CLI::Option* p : Positionals(*sub)) {
            if (ValueOf(*p) == Value::Shell)
                s += "\n            [[ $cur != -* ]] && COMPREPLY=($(compgen -W \"bash zsh\" -- \"$cur\")) && return";
        }
        s += " ;;\n";
    }
    s += "    esac\n";
    s += "    [[ $cur == -* ]] && COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n";
    s += "    return 0\n";
    s += "}\n";
    s += "complete -F _dadovuctl dadovuctl\n";
    return s;
}

namespace {

// `text` for inside single quotes, with the brackets and colons of an
// _arguments description escaped.
std::string ZshDescription(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else if (c == '[' || c == ']' || c == ':' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::string ZshAction(const CLI::Option& o) {
    switch (ValueOf(o)) {
    case Value::File: return "_files";
    case Value::Node: return "_dadovuctl_nodes";
    case Value::Shell: return "(bash zsh)";
    default: return " ";
    }
}

// One _arguments entry per line, each option's names excluding each other.
std::string ZshSpecs(const std::vector<const CLI::Option*>& options, const std::string& indent) {
    std::string s;
    for (const CLI::Option* o : options) {
        const std::vector<std::string> names = Names(*o);
        const bool repeatable = o->get_expected_max() > 1 || o->get_multi_option_policy() == CLI::MultiOptionPolicy::TakeAll;
        std::string entry;
        if (names.size() > 1 && !repeatable) entry += "'(" + Join(names) + ")'";
        if (repeatable) entry += "'*'";
        if (names.size() > 1) {
            std::string alternatives = Join(names);
            std::replace(alternatives.begin(), alternatives.end(), ' ', ',');
            entry += "{" + alternatives + "}";
        } else {
            entry += names[0];
        }
        entry += "'[" + ZshDescription(o->get_description()) + "]";
        if (TakesValue(*o)) entry += ":" + ZshDescription(o->get_type_name()) + ":" + ZshAction(*o);
        entry += "'";
        s += indent + entry + " \\\n";
    }
    return s;
}

}  // namespace

std::string ZshCompletion(const CLI::App& app) {
    std::string s;
    s += "#compdef dadovuctl\n";
    s += "# zsh completion for dadovuctl, made by `dadovuctl completion zsh`.\n";
    s += "# Install it with: dadovuctl completion zsh > \"${fpath[1]}/_dadovuctl\"\n\n";
    s += "_dadovuctl_nodes() {\n";
    s += "    local file=${_dadovuctl_nodes_file:-}\n";
    s += "    [[ -r $file && -f $file ]] || return 1\n";
    s += "    local -a names\n";
    s += "    names=(${(f)\"$(" + std::string(kNodeNamesSed) + " -- \"$file\" 2>/dev/null)\"})\n";
    s += "    compadd -a names\n";
    s += "}\n\n";
    s += "_dadovuctl() {\n";
    s += "    local curcontext=$curcontext state line ret=1\n";
    s += "    typeset -A opt_args\n";
    s += "    local i\n";
    s += "    typeset -g _dadovuctl_nodes_file=\n";
    s += "    for ((i = 2; i < $#words; i++)); do\n";
    s += "        case ${words[i]} in\n";
    s += "            -f|--nodes-file) _dadovuctl_nodes_file=${words[i+1]} ;;\n";
    s += "            --nodes-file=*) _dadovuctl_nodes_file=${words[i]#--nodes-file=} ;;\n";
    s += "        esac\n";
    s += "    done\n";
    s += "    local -a request_options\n";
    s += "    request_options=(\n" + ZshSpecs(Flags(app), "        ") + "    )\n";
    s += "    _arguments -C $request_options '1:command:->command' '*::argument:->argument' && ret=0\n";
    s += "    case $state in\n";
    s += "    command)\n";
    s += "        local -a commands\n";
    s += "        commands=(\n";
    for (const CLI::App* sub : Subcommands(app))
        s += "            '" + sub->get_name() + ":" + ZshDescription(sub->get_description()) + "'\n";
    s += "        )\n";
    s += "        _describe -t commands 'dadovuctl command' commands && ret=0 ;;\n";
    s += "    argument)\n";
    s += "        curcontext=${curcontext%:*:*}:dadovuctl-$words[1]:\n";
    s += "        case $words[1] in\n";
    for (const CLI::App* sub : Subcommands(app)) {
        s += "        " + sub->get_name() + ")\n";
        s += "            _arguments $request_options \\\n" + ZshSpecs(Flags(*sub), "                ");
        int index = 1;
        for (const CLI::Option* p : Positionals(*sub)) {
            s += "                '" + std::to_string(index++) + ":" + ZshDescription(p->get_name(true)) + ":" +
                 ZshAction(*p) + "' \\\n";
        }
        s += "                && ret=0 ;;\n";
    }
    s += "        esac ;;\n";
    s += "    esac\n";
    s += "    return ret\n";
    s += "}\n\n";
    s += "_dadovuctl \"$@\"\n";
    return s;
}

}  // namespace DaDovuCtl
