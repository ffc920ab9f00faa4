local function build(round)
    local s = ""
    local i = 0
    while i < 120 do
        s = s .. tostring((i * 7 + round) % 100) .. ","
        i = i + 1
    end
    return s
end
local function run(rounds)
    local previous = build(0)
    local same = 0
    local r = 1
    while r < rounds do
        local s = build(r)
        if s == previous then
            same = same + 1
        end
        if s == build(r + 100) then
            same = same + 2
        end
        previous = s
        r = r + 1
    end
    print(previous)
    return same
end
print(run(12000))
