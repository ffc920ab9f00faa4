local function run(live, pairs_)
    local m = {}
    local i = 0
    while i < live do
        m[i * 7919] = i
        i = i + 1
    end
    local deleted = 0
    while i < live + pairs_ do
        local old = (i - live) * 7919
        if m[old] ~= nil then
            m[old] = nil
            deleted = deleted + 1
        end
        m[i * 7919] = i
        i = i + 1
    end
    local total = 0
    local n = 0
    for k, v in pairs(m) do
        total = total + v % 1000 + k % 7
        n = n + 1
    end
    return total + n + deleted
end
print(run(20000, 300000))
