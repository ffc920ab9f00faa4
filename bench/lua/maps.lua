local function run(n)
    local counts = {}
    local latest = {}
    local i = 0
    while i < n do
        local key = "k" .. tostring(i % 5000)
        local c = counts[key]
        if c == nil then
            counts[key] = 1
        else
            counts[key] = c + 1
        end
        latest[i % 70000] = i
        i = i + 1
    end
    local total = 0
    local ncounts = 0
    for k, v in pairs(counts) do
        total = total + v
        ncounts = ncounts + 1
    end
    local names = {}
    i = 0
    while i < 2000 do
        names[#names + 1] = "path/to/item-" .. tostring(i * 7919 % 100003)
        i = i + 1
    end
    local index = {}
    local nindex = 0
    i = 0
    while i < #names do
        if index[names[i + 1]] == nil then nindex = nindex + 1 end
        index[names[i + 1]] = i
        i = i + 1
    end
    local round = 0
    while round < 300 do
        i = 0
        while i < #names do
            local at = index[names[i + 1]]
            if at ~= nil then
                total = total + at % 7
            end
            i = i + 1
        end
        round = round + 1
    end
    local nlatest = 0
    for _ in pairs(latest) do nlatest = nlatest + 1 end
    return total + ncounts + nlatest + nindex
end
print(run(2000000))
