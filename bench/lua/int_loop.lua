local function churn(n)
    local acc = 1
    local i = 0
    while i < n do
        acc = (acc * 31 + (i ~ (acc >> 3))) % 1000003
        acc = acc + (i & 7) - 3
        i = i + 1
    end
    return acc
end
print(churn(20000000))
