#include "dia/check.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <string>
#include <variant>

namespace vm::dia {
namespace {

using Value = std::variant<std::int64_t, std::string>;

class Parser {
public:
    Parser(std::string_view text, std::string_view tag) : text_(text), tag_(tag) {}

    std::optional<bool> run()
    {
        auto v = orExpression();
        skipBlanks();
        if (!ok_ || pos_ != text_.size() || !v)
            return std::nullopt;
        return truth(*v);
    }

private:
    static bool truth(const Value& v)
    {
        if (auto* n = std::get_if<std::int64_t>(&v))
            return *n != 0;
        return !std::get<std::string>(v).empty();
    }

    void skipBlanks()
    {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])))
            ++pos_;
    }

    bool take(std::string_view token)
    {
        skipBlanks();
        if (text_.substr(pos_, token.size()) != token)
            return false;
        pos_ += token.size();
        return true;
    }

    std::optional<Value> orExpression()
    {
        auto left = andExpression();
        while (left && take("||")) {
            auto right = andExpression();
            if (!right)
                return std::nullopt;
            left = Value{std::int64_t{truth(*left) || truth(*right)}};
        }
        return left;
    }

    std::optional<Value> andExpression()
    {
        auto left = comparison();
        while (left && take("&&")) {
            auto right = comparison();
            if (!right)
                return std::nullopt;
            left = Value{std::int64_t{truth(*left) && truth(*right)}};
        }
        return left;
    }

    std::optional<Value> comparison()
    {
        auto left = unary();
        if (!left)
            return std::nullopt;
        static const std::string_view operators[] = {"==", "!=", "<=", ">=", "<", ">"};
        for (std::string_view op : operators) {
            if (!take(op))
                continue;
            auto right = unary();
            if (!right || left->index() != right->index()) {
                ok_ = false;  // no such comparison between a number and a text
                return std::nullopt;
            }
            int order = *left < *right ? -1 : (*right < *left ? 1 : 0);
            bool result = op == "==" ? order == 0
                        : op == "!=" ? order != 0
                        : op == "<=" ? order <= 0
                        : op == ">=" ? order >= 0
                        : op == "<"  ? order < 0
                                     : order > 0;
            return Value{std::int64_t{result}};
        }
        return left;
    }

    std::optional<Value> unary()
    {
        if (take("!")) {
            auto v = unary();
            return v ? std::optional<Value>(Value{std::int64_t{!truth(*v)}}) : std::nullopt;
        }
        if (take("-")) {
            auto v = unary();
            if (!v || !std::holds_alternative<std::int64_t>(*v))
                return std::nullopt;
            return Value{-std::get<std::int64_t>(*v)};
        }
        return primary();
    }

    std::optional<Value> primary()
    {
        skipBlanks();
        if (take("(")) {
            auto v = orExpression();
            return v && take(")") ? v : std::nullopt;
        }
        if (take("strlen(")) {
            auto v = orExpression();
            if (!v || !take(")") || !std::holds_alternative<std::string>(*v))
                return std::nullopt;
            return Value{static_cast<std::int64_t>(std::get<std::string>(*v).size())};
        }
        if (take("atoi(") || take("atol(")) {
            auto v = orExpression();
            if (!v || !take(")") || !std::holds_alternative<std::string>(*v))
                return std::nullopt;
            const std::string& s = std::get<std::string>(*v);
            std::int64_t n = 0;
            std::size_t start = s.find_first_not_of(" \t");
            if (start != std::string::npos)
                std::from_chars(s.data() + start, s.data() + s.size(), n);
            return Value{n};
        }
        if (take("_tag"))
            return Value{std::string(tag_)};
        if (take("\"")) {
            std::size_t end = text_.find('"', pos_);
            if (end == std::string_view::npos)
                return std::nullopt;
            std::string s(text_.substr(pos_, end - pos_));
            pos_ = end + 1;
            return Value{s};
        }
        std::int64_t n = 0;
        auto [next, error] = std::from_chars(text_.data() + pos_, text_.data() + text_.size(), n);
        if (error != std::errc())
            return std::nullopt;
        pos_ = static_cast<std::size_t>(next - text_.data());
        return Value{n};
    }

    std::string_view text_;
    std::string_view tag_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace

std::optional<bool> evaluateCheck(std::string_view expression, std::string_view value)
{
    return Parser(expression, value).run();
}

}  // namespace vm::dia
